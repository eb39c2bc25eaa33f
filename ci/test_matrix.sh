#!/usr/bin/env bash
# make test-matrix: the test suite against each scikit-learn release the
# package declares below the newest (the oldest, 1.6 and 1.7), on CPython 3.11 with
# torch 2.13.0, each in its own virtual environment under build/matrix/.
# Everything else comes from constraints.txt, except where a combination names
# its own NumPy (the oldest declared NumPy goes with the oldest scikit-learn).
# The package is built once, as a wheel, and installed into every environment;
# pip's cache serves the downloads and the locally built lime wheel to all.
#
# Prints one line per combination and exits non-zero if any failed; the logs
# stay in build/matrix/<combination>/pytest.log. The notebook's browser check
# is left out here: it does not touch scikit-learn, and make test runs it.
# MATRIX_ONLY="1.6.1 1.9.1" runs only those scikit-learn releases.
set -uo pipefail
cd "$(dirname "$0")/.."

# scikit-learn release, NumPy release ("pinned": the one in constraints.txt)
# The newest (1.9.1 with the pinned NumPy) is .venv's: make test runs the suite there.
COMBINATIONS=(
    "1.5.0 2.0.2"
    "1.6.1 pinned"
    "1.7.2 pinned"
)
PYTHON=${MATRIX_PYTHON:-python3.11}
ROOT=build/matrix
PIP_FLAGS=(--disable-pip-version-check --quiet)

duration() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }

build_wheel() {
    rm -rf "$ROOT/wheel"
    .venv/bin/python -m pip wheel "${PIP_FLAGS[@]}" --no-deps --no-build-isolation \
        -w "$ROOT/wheel" . || return 1
    ls "$ROOT"/wheel/qalvo-*.whl
}

# constraints.txt with the combination's scikit-learn and NumPy pins.
write_constraints() {
    local sklearn=$1 numpy=$2 out=$3
    sed -e "s/^scikit-learn==.*/scikit-learn==$sklearn/" constraints.txt > "$out"
    if [ "$numpy" != pinned ]; then sed -i -e "s/^numpy==.*/numpy==$numpy/" "$out"; fi
}

# Sets up the environment and runs the suite; the summary line on stdout.
run_combination() {
    local sklearn=$1 numpy=$2 wheel=$3 dir=$4
    local venv=$dir/venv start=$SECONDS
    mkdir -p "$dir"
    write_constraints "$sklearn" "$numpy" "$dir/constraints.txt"
    {
        test -x "$venv/bin/python" || "$PYTHON" -m venv "$venv"
        "$venv/bin/python" -m pip install "${PIP_FLAGS[@]}" -c "$dir/constraints.txt" \
            -r requirements-dev.txt &&
        "$venv/bin/python" -m pip install "${PIP_FLAGS[@]}" --no-build-isolation \
            --force-reinstall --no-deps "$wheel" &&
        "$venv/bin/python" -m pip install "${PIP_FLAGS[@]}" --no-build-isolation \
            -c "$dir/constraints.txt" "qalvo[dashboard,explain,notebook,cluster] @ file://$PWD/$wheel"
    } > "$dir/setup.log" 2>&1 || { echo "set-up failed (see $dir/setup.log)"; return 1; }
    # The installed versions, as the suite sees them.
    local versions
    versions=$("$venv/bin/python" -c "import sklearn, numpy, sys; print(f'sklearn {sklearn.__version__:6} numpy {numpy.__version__:6} py{sys.version_info[0]}.{sys.version_info[1]}')")
    local setup_time=$((SECONDS - start))
    start=$SECONDS
    QALVO_EXPECT_ENGINE=1 "$venv/bin/python" -m pytest -q -p no:cacheprovider \
        --deselect tests/test_notebook_browser.py > "$dir/pytest.log" 2>&1
    local status=$?
    local summary
    summary=$(tail -n 1 "$dir/pytest.log" | sed -e 's/^=* *//' -e 's/ in [0-9.]*s.*$//')
    echo "$versions  $summary  $(duration $((SECONDS - start))) (set-up $(duration $setup_time))"
    return $status
}

main() {
    mkdir -p "$ROOT"
    local wheel
    wheel=$(build_wheel) || { echo "building the wheel failed"; return 1; }
    local failed=0 combination sklearn numpy
    for combination in "${COMBINATIONS[@]}"; do
        read -r sklearn numpy <<< "$combination"
        if [ -n "${MATRIX_ONLY:-}" ] && [[ " $MATRIX_ONLY " != *" $sklearn "* ]]; then continue; fi
        local line
        line=$(run_combination "$sklearn" "$numpy" "$wheel" "$ROOT/sklearn-$sklearn-py3.11")
        local status=$?
        [ $status -eq 0 ] || failed=1
        echo "$line$([ $status -eq 0 ] || echo '  FAILED')"
    done
    # Other interpreters, where their script exists.
    if [ -f ci/test_pythons.sh ]; then
        bash ci/test_pythons.sh || failed=1
    fi
    return $failed
}

main
