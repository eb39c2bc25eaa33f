#!/usr/bin/env bash
# make test-torch: the native engine's identity, fallback, error and
# availability tests on every torch release it is verified on, each in its own
# environment with qalvo built against that torch (QALVO_ENGINE=ON: a build
# without the engine fails). torch 2.13.0 is .venv's; the others get an
# environment under build/torch/<release>/ (torch 2.14.1 is a CUDA build of
# about 5.5 GB, which runs on the CPU; it is on this machine's disk).
# Prints one line per release; logs stay in build/torch/<release>/.
#
#   ci/test_torch.sh [RELEASE...]      (default: every verified release)
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
TESTS=(tests/test_engine_identity.py tests/test_engine_fallbacks.py
       tests/test_engine_errors.py tests/test_engine_availability.py tests/test_engine_build.py)
RELEASES=("$@")
if [ ${#RELEASES[@]} -eq 0 ]; then
    read -r -a RELEASES <<< "$(python3 -c 'import runpy; print(*runpy.run_path(
        "src/qalvo/models/rampnet/_verified_torch.py")["VERIFIED"])')"
fi
PINNED=$(sed -n 's/^torch==//p' constraints.txt)
status=0

duration() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }

for release in "${RELEASES[@]}"; do
    start=$SECONDS
    if [ "$release" = "$PINNED" ]; then
        python=.venv/bin/python  # make setup built it with the engine
        dir=build/torch/$release
        mkdir -p "$dir"
    else
        dir=build/torch/$release
        mkdir -p "$dir"
        if ! ci/torch_env.sh "$release" > "$dir/setup.log" 2>&1; then
            echo "torch $release: set-up failed (see $dir/setup.log)"
            status=1
            continue
        fi
        python=$dir/venv/bin/python
    fi
    # Outside the source tree: the package must come from the environment.
    (cd "$dir" && QALVO_EXPECT_ENGINE=1 "$ROOT/$python" -m pytest -q -p no:cacheprovider \
        --rootdir="$ROOT" "${TESTS[@]/#/$ROOT/}" > pytest.log 2>&1)
    result=$?
    summary=$(tail -1 "$dir/pytest.log")
    version=$("$python" -c 'import torch; print(torch.__version__)' 2>/dev/null)
    echo "torch $version: $summary [$(duration $((SECONDS - start)))]"
    [ $result -eq 0 ] || status=1
done
exit $status
