# vornak: the two commands are `make demo` and `make test`; see README.md.
SHELL := /bin/bash
.ONESHELL:
.SHELLFLAGS := -eu -o pipefail -c

CACHE       ?= .cache
BUILD       ?= build
JOBS        ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

# A Python >= 3.12 for each supported interpreter line; pyenv's versions first.
find_python = $(firstword $(wildcard $(HOME)/.pyenv/versions/$(1).*/bin/python$(1)) $(shell command -v python$(1) 2>/dev/null))
PYTHON312 ?= $(call find_python,3.12)
PYTHON313 ?= $(call find_python,3.13)

# The environments the Python suites run in: name, interpreter, NumPy requirement.
MAIN_VENV := $(CACHE)/venv-py312-np2

.PHONY: test test-core test-python test-sanitize demo bench deps clean

test: test-core test-python

deps:
	@if ! [ -f /usr/include/gtest/gtest.h ] || ! command -v cmake >/dev/null; then
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
	    echo "== installing libgtest-dev and cmake with apt-get"
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev cmake >/dev/null
	  else
	    echo "GoogleTest (libgtest-dev) and cmake are needed; install them or run as root" >&2; exit 1
	  fi
	fi

test-core: deps
	cmake -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release -DVORNAK_WERROR=ON $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD)/release -j $(JOBS)
	ctest --test-dir $(BUILD)/release --output-on-failure -j $(JOBS)

test-sanitize: deps
	cmake -S . -B $(BUILD)/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNAK_WERROR=ON -DVORNAK_SANITIZE=ON $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD)/sanitize -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(BUILD)/sanitize --output-on-failure -j $(JOBS)

# Python suites: one virtual environment per interpreter / NumPy pair under
# $(CACHE), made once and reused. The package is built without build isolation
# (the build tools live in each environment) into a build directory kept per
# environment, so a rerun recompiles only what changed.
PY_ENVS     := py312-np2 py313-np2 py312-np126
python_py312-np2   := $(PYTHON312)
python_py313-np2   := $(PYTHON313)
python_py312-np126 := $(PYTHON312)
numpy_py312-np2    := numpy>=2
numpy_py313-np2    := numpy>=2
numpy_py312-np126  := numpy==1.26.*
extras_py312-np2   := all,test
extras_py313-np2   := test
extras_py312-np126 := test
PY_BUILD_TOOLS := "scikit-build-core>=0.10" ninja

.PHONY: python-envs $(addprefix test-python-,$(PY_ENVS)) $(addprefix python-env-,$(PY_ENVS))

python-envs: $(addprefix python-env-,$(PY_ENVS))

# An environment counts as made only once its tools are in (the stamp), so an
# interrupted set-up is redone rather than reused half-made.
$(addprefix python-env-,$(PY_ENVS)): python-env-%:
	@venv="$(CACHE)/venv-$*"
	if [ -f "$$venv/.vornak-env" ]; then exit 0; fi
	if [ -z "$(python_$*)" ]; then echo "no interpreter for $* (set PYTHON312 / PYTHON313)" >&2; exit 1; fi
	echo "== making $$venv with $(python_$*)"
	rm -rf "$$venv"
	"$(python_$*)" -m venv "$$venv"
	"$$venv/bin/python" -m pip install -q $(PY_BUILD_TOOLS) "$(numpy_$*)" pytest hypothesis
	touch "$$venv/.vornak-env"

# The environments run one after another (they share the two cores), each
# to its end, so one failing combination does not hide the others' results.
test-python: deps
	@failed=""
	for env in $(PY_ENVS); do
	  $(MAKE) --no-print-directory test-python-$$env || failed="$$failed $$env"
	done
	if [ -n "$$failed" ]; then echo "== Python suites failed on:$$failed" >&2; exit 1; fi

$(addprefix test-python-,$(PY_ENVS)): test-python-%: deps python-env-%
	@venv="$(CACHE)/venv-$*"
	echo "== installing vornak into $$venv"
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) "$$venv/bin/python" -m pip install -q --no-build-isolation \
	  -C build-dir="$(abspath $(CACHE))/build-$*" -C cmake.define.VORNAK_WERROR=ON "$(numpy_$*)" ".[$(extras_$*)]"
	"$$venv/bin/python" -c 'import sys, numpy; print(f"== pytest on Python {sys.version.split()[0]} with NumPy {numpy.__version__} ($*)")'
	"$$venv/bin/python" -m pytest tests

# The demo runs in the main environment with every extra: it dealiases a real
# sweep shipped with the package and writes demo.png here.
demo: deps python-env-py312-np2
	@venv="$(CACHE)/venv-py312-np2"
	echo "== installing vornak[all] into $$venv"
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) "$$venv/bin/python" -m pip install -q --no-build-isolation \
	  -C build-dir="$(abspath $(CACHE))/build-py312-np2" "$(numpy_py312-np2)" ".[all]"
	"$$venv/bin/vornak" demo -o demo.png

clean:
	rm -rf $(BUILD)
