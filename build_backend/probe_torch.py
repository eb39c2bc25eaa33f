"""Prints, as one line of JSON, what the native training engine is compiled
against: the torch that the interpreter running this script imports.

    python -E build_backend/probe_torch.py

Run with -E, so that the environment variables of pip's isolated build (which
hide the environment being installed into) do not apply. Prints {"error": ...}
where torch cannot be imported. Standard library only (and torch).
"""

import json
import sys


def probe():
    try:
        import torch
        from torch.utils import cpp_extension
    except Exception as error:  # any import failure means: no usable torch here
        return {"error": f"{type(error).__name__}: {error}", "prefix": sys.prefix}
    return {
        "version": torch.__version__,
        "cxx11_abi": int(torch._C._GLIBCXX_USE_CXX11_ABI),
        "include_paths": cpp_extension.include_paths(),
        "library_dir": cpp_extension.library_paths()[0],
        "prefix": sys.prefix,
    }


if __name__ == "__main__":
    print(json.dumps(probe()))
