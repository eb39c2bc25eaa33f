#!/usr/bin/env bash
# How a user gets qalvo, checked in fresh environments that hold torch first:
#
#   ci/smoke_install.sh wheel WHEEL [TORCH_RELEASE]   the built wheel, with its dependencies
#   ci/smoke_install.sh source [TORCH_RELEASE]        pip install <this clone>, pip's default
#                                                     build isolation
#   ci/smoke_install.sh sdist [TORCH_RELEASE]         pip install <an sdist of this clone>
#
# TORCH_RELEASE defaults to the pinned one (a CPU wheel on this machine's disk).
# Each ends with a fit, a prediction and engine_status() saying "engine".
# Environments under build/smoke/<route>-<release>/; prints one line.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
route=$1
shift
if [ "$route" = wheel ]; then wheel=$(realpath "$1"); shift; fi
release=${1:-$(sed -n 's/^torch==//p' constraints.txt)}
dir=build/smoke/$route-$release
venv=$dir/venv
pip=("$venv/bin/python" -m pip --disable-pip-version-check --quiet)
rm -rf "$dir"
mkdir -p "$dir"
grep -v '^torch==' constraints.txt > "$dir/constraints.txt"
start=$SECONDS
{
    python3 -m venv "$venv"
    "${pip[@]}" install -c "$dir/constraints.txt" "torch==$release"
    # a clone as a user makes it: what is committed, no build folder
    [ "$route" = wheel ] || git clone --quiet --no-hardlinks "$ROOT" "$dir/clone"
    case $route in
        wheel) "${pip[@]}" install -c "$dir/constraints.txt" "$wheel" ;;
        source) "${pip[@]}" install -c "$dir/constraints.txt" "$dir/clone" ;;
        sdist)
            "${pip[@]}" install build
            "$venv/bin/python" -m build --sdist --outdir "$dir/dist" "$dir/clone"
            "${pip[@]}" install -c "$dir/constraints.txt" "$dir"/dist/qalvo-*.tar.gz ;;
        *) echo "unknown route $route"; exit 2 ;;
    esac
} > "$dir/install.log" 2>&1 || { echo "$route, torch $release: install failed (see $dir/install.log)"; exit 1; }
cd "$dir"
"$ROOT/$venv/bin/python" - <<'PYTHON'
import warnings

import numpy as np
import torch

import qalvo
from qalvo.models.rampnet import RampNetClassifier, RampNetRegressor, engine_status

warnings.simplefilter("error", qalvo.EngineUnavailableWarning)

rng = np.random.RandomState(0)
x = rng.randn(300, 4)
y = x @ np.array([1.0, -2.0, 0.5, 0.0])
regressor = RampNetRegressor(hidden_layer_sizes=(8,), max_epochs=5).fit(x, y)
classifier = RampNetClassifier(hidden_layer_sizes=(8,), max_epochs=5).fit(x, y > 0)
assert regressor.predict(x).shape == (300,) and np.isfinite(regressor.predict(x)).all()
assert set(classifier.predict(x)) <= {True, False}
status = engine_status()
assert status.path == "engine", status
print(f"torch {torch.__version__}: fit and predict on the {status.path} ({status.reason})")
PYTHON
echo "  ($route, $((SECONDS - start)) s)"
