# qalvo set-up: `make demo` and `make test` each bring .venv up to date first
# (created on the first run, reused afterwards), then do their job.

PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
PIP := $(VPY) -m pip --disable-pip-version-check
TOOLS_STAMP := $(VENV)/.tools-installed
PACKAGE_STAMP := $(VENV)/.qalvo-installed
BENCH_STAMP := $(VENV)/.bench-installed
DOCS_STAMP := $(VENV)/.docs-installed
SOURCES := $(shell find common src build_backend cmake -name '*.cpp' -o -name '*.hpp' -o -name '*.py' \
               -o -name '*.pyi' -o -name py.typed -o -name '*.cmake') \
           CMakeLists.txt pyproject.toml constraints.txt

.PHONY: setup demo test test-matrix test-pythons test-torch wheel bench clean asan docs

setup: $(PACKAGE_STAMP)

$(TOOLS_STAMP): requirements-dev.txt constraints.txt
	test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(PIP) install --quiet -c constraints.txt -r requirements-dev.txt
	touch $@

# Installs the package with its runtime, dashboard, explanation, notebook (JupyterLab)
# and cluster (Dask) dependencies, pinned by constraints.txt; the CMake build folder
# under build/ makes rebuilds incremental. QALVO_ENGINE=ON: a set-up without the
# native engine fails instead of running the suite on the generic path alone.
$(PACKAGE_STAMP): $(TOOLS_STAMP) $(SOURCES)
	$(PIP) install --quiet --no-build-isolation -C cmake.define.QALVO_ENGINE=ON \
		-c constraints.txt '.[dashboard,explain,notebook,cluster]'
	touch $@

demo: setup
	$(VPY) examples/quickstart.py

# The sources live under src/, so the repository root on sys.path never shadows
# the installed package (which alone has the compiled modules).
# The suite includes the browser check of examples/insight_board.ipynb, which
# installs Debian's chromium with apt-get when it is missing and leaves its
# screenshots in build/browser-check/.
test: setup
	QALVO_EXPECT_ENGINE=1 $(VENV)/bin/pytest -q

# The wheel built and tested on CPython 3.10, 3.12 and 3.13 (pyenv's), each in
# its own environment under build/pythons/; torch has no CPU wheel for them
# here, so the tests that need it are skipped there. One line per version.
test-pythons:
	ci/test_pythons.sh

# The native engine's identity, fallback, error and availability tests on every
# torch release it is verified on (2.13.0 in .venv; 2.14.1, a CUDA build of about
# 5.5 GB that runs on the CPU, in build/torch/2.14.1/). One line per release.
test-torch: setup
	ci/test_torch.sh

# The wheel to publish, into dist/: one native engine per verified torch release,
# built with pip's default build isolation, repaired to a manylinux tag without
# torch's libraries, then checked (ci/check_wheel.py).
TORCH_RELEASES := $(shell python3 -c 'import runpy; print(*runpy.run_path("src/qalvo/models/rampnet/_verified_torch.py")["VERIFIED"])')
PINNED_TORCH := $(shell sed -n 's/^torch==//p' constraints.txt)
OTHER_TORCH := $(filter-out $(PINNED_TORCH),$(TORCH_RELEASES))
wheel: setup
	for release in $(OTHER_TORCH); do ci/torch_env.sh $$release > build/torch/$$release-env.log 2>&1 \
		|| { echo "torch $$release: set-up failed (see build/torch/$$release-env.log)"; exit 1; }; done
	rm -rf dist
	QALVO_TORCH_PYTHONS="$(CURDIR)/$(VPY)$(foreach r,$(OTHER_TORCH),:$(CURDIR)/build/torch/$(r)/venv/bin/python)" \
		$(PIP) wheel --quiet --no-deps -C cmake.define.QALVO_ENGINE=ON -C build-dir=build/wheel \
		-w dist .
	python3 ci/check_wheel.py dist/qalvo-*.whl --engines $(shell echo $(TORCH_RELEASES) | tr ' ' ,)

# The suite against every scikit-learn release declared supported below the
# newest, which make test covers (the oldest, 1.6 and 1.7), each in its own
# environment under build/matrix/; one line per combination. The wheel is built
# with the tools of .venv.
test-matrix: setup
	bash ci/test_matrix.sh

# Benchmarks print figures (they are not tests); skorch is installed for them only.
$(BENCH_STAMP): $(TOOLS_STAMP) bench/requirements.txt constraints.txt
	$(PIP) install --quiet -c constraints.txt -r bench/requirements.txt
	touch $@

bench: setup $(BENCH_STAMP)
	$(VPY) bench/bench_fit_predict.py
	$(VPY) bench/bench_engine.py
	$(VPY) bench/bench_glue.py
	$(VPY) bench/soak_leaks.py
	$(VPY) bench/bench_panel.py
	$(VPY) bench/fuzz_calls.py
	$(VPY) bench/bench_search_dask.py

# The documentation: Sphinx (tools from docs/requirements.txt, installed here
# only) into build/docs/html, warnings as errors and references to qalvo's own
# names checked; the gallery's examples run while it builds. Then the built
# site is checked in headless Chromium (screenshots in build/docs-check/).
# QUICK=1 leaves the longest gallery examples unrun (CI).
$(DOCS_STAMP): $(TOOLS_STAMP) docs/requirements.txt constraints.txt
	$(PIP) install --quiet -c constraints.txt -r docs/requirements.txt
	touch $@

docs: setup $(DOCS_STAMP)
	rm -rf build/docs/html docs/auto_examples docs/sg_execution_times.rst
	QALVO_DOCS_QUICK=$(if $(QUICK),1,0) MPLBACKEND=Agg $(VENV)/bin/sphinx-build -E -W --keep-going -n -q \
		-b html -d build/docs/doctrees docs build/docs/html
	QALVO_DOCS_HTML=build/docs/html $(VENV)/bin/pytest -q -p no:cacheprovider tests/test_docs_site.py

clean:
	rm -rf build $(VENV) docs/auto_examples

# The test suite against extension modules built with AddressSanitizer. The
# instrumented build goes to build/asan-site, which shadows the package in .venv.
# The interpreter itself is not instrumented: leak detection is off, as its
# allocations would all be reported; libstdc++ is preloaded with the runtime so
# that C++ code loaded later (matplotlib's) resolves against the same one.
ASAN_SITE := $(CURDIR)/build/asan-site
ASAN_ENV := LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0 PYTHONPATH=$(ASAN_SITE)
asan: setup
	rm -rf $(ASAN_SITE)
	$(PIP) install --quiet --no-build-isolation --no-deps --target $(ASAN_SITE) \
		-C cmake.define.QALVO_ASAN=ON -C build-dir=build/asan .
	cd /tmp && $(ASAN_ENV) $(CURDIR)/$(VPY) -c \
		"import qalvo.models.rampnet.rampnet as m; assert m.__file__.startswith('$(ASAN_SITE)'), m.__file__"
	$(ASAN_ENV) $(VENV)/bin/pytest -q -p no:cacheprovider
