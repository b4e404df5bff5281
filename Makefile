# `make demo` and `make test` do all the set-up: .venv (Python 3.13), the build, the extras.
VENV    := .venv
PY      := $(VENV)/bin/python
SOURCES := $(shell find src -name '*.cpp' -o -name '*.hpp') CMakeLists.txt pyproject.toml
PIP     := $(PY) -m pip install --quiet --disable-pip-version-check

.PHONY: test demo bench clean

test: $(VENV)/.installed
	$(PY) -m pytest -q

demo: $(VENV)/.installed
	$(PY) -m vantrel.datasets

bench: $(VENV)/.installed
	$(PY) bench/bench_read.py

$(PY):
	@python=$$(tools/find-python313) && echo "creating $(VENV) with $$python" && $$python -m venv $(VENV)

# Editable install: the extension is built under build/ and found from the source tree.
$(VENV)/.installed: $(PY) $(SOURCES)
	$(PIP) scikit-build-core cmake ninja
	$(PIP) --no-build-isolation --editable '.[test,demo]'
	@touch $@

clean:
	rm -rf build $(VENV)
