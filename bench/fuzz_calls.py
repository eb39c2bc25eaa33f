"""Soak run of the call fuzzer (tests/call_fuzz.py): many random calls of every
function of both modules, in a child process so that a crash is reported as one.

    python bench/fuzz_calls.py [--calls 100000] [--seed S]
"""

import argparse
import os
import random
import subprocess
import sys
import time

FUZZER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "call_fuzz.py")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=100_000)
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    seed = random.randrange(2 ** 31) if args.seed is None else args.seed
    start = time.perf_counter()
    result = subprocess.run(
        [sys.executable, "-X", "faulthandler", FUZZER, "--calls", str(args.calls),
         "--seed", str(seed)], capture_output=True, text=True)
    elapsed = time.perf_counter() - start
    print(result.stdout, end="")
    print(f"{elapsed:.0f} s, {1e6 * elapsed / args.calls:.0f} us per call")
    if result.returncode != 0:
        print(result.stderr[-10000:], file=sys.stderr)
        print(f"FAILED: exit status {result.returncode} (seed {seed}; rerun the fuzzer with "
              f"--trace to see each call)", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
