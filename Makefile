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

.PHONY: test test-core test-python test-fuzz test-sanitize demo bench bench-files bench-quality deps clean fuzz fuzz-deps test-sanitize-python fuzz-readers soak

test: test-core test-python test-fuzz

# A short fuzzing run from the committed corpus on every test run (CI
# included); `make fuzz` is the long one that grows the corpus.
test-fuzz:
	$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=10 FUZZ_MERGE=0 READERS_FUZZ_EXAMPLES=100

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
	$(MAKE) --no-print-directory test-sanitize-python

# Makes the virtual environment $(1) from interpreter $(2) with packages $(3),
# once: it counts as made only when its stamp is written, so an interrupted
# set-up is redone rather than reused half-made.
define make_venv
if ! [ -f "$(1)/.vornak-env" ]; then
	  if [ -z "$(2)" ]; then echo "no Python interpreter for $(1) (set PYTHON312 / PYTHON313)" >&2; exit 1; fi
	  echo "== making $(1) with $(2)"
	  rm -rf "$(1)"
	  "$(2)" -m venv "$(1)"
	  "$(1)/bin/python" -m pip install -q $(PY_BUILD_TOOLS) $(3)
	  touch "$(1)/.vornak-env"
	fi
endef

# The Python suites against an extension built with AddressSanitizer and
# UndefinedBehaviorSanitizer, the runtimes preloaded into the interpreter.
# CPython keeps its own objects to the end, so leaks are not reported here
# (the C++ run above checks the core for them); the 10^8-gate sweep is
# skipped, being several times slower and larger under the sanitizers.
SANITIZE_VENV := $(CACHE)/venv-sanitize
test-sanitize-python: deps
	@$(call make_venv,$(SANITIZE_VENV),$(PYTHON312),"numpy>=2" pytest hypothesis)
	venv="$(SANITIZE_VENV)"
	echo "== installing vornak built with the sanitizers into $$venv"
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) "$$venv/bin/python" -m pip install -q --no-build-isolation \
	  -C build-dir="$(abspath $(CACHE))/build-sanitize" -C cmake.build-type=RelWithDebInfo \
	  -C cmake.define.VORNAK_WERROR=ON -C cmake.define.VORNAK_SANITIZE=ON ".[test]"
	preload="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)"
	echo "== pytest under AddressSanitizer and UndefinedBehaviorSanitizer"
	LD_PRELOAD="$$preload" VORNAK_SKIP_HUGE=1 \
	  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  "$$venv/bin/python" -m pytest -p no:cacheprovider tests

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

$(addprefix python-env-,$(PY_ENVS)): python-env-%:
	@$(call make_venv,$(CACHE)/venv-$*,$(python_$*),"$(numpy_$*)" pytest hypothesis)

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

# The long runs under faults that `make test` leaves out (tests marked soak):
# one process dealiasing 200 files of ../shared/data, its memory and time per
# file flat. Minutes.
soak: deps python-env-py312-np2
	@venv="$(MAIN_VENV)"
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) "$$venv/bin/python" -m pip install -q --no-build-isolation \
	  -C build-dir="$(abspath $(CACHE))/build-py312-np2" -C cmake.define.VORNAK_WERROR=ON "$(numpy_py312-np2)" ".[$(extras_py312-np2)]"
	"$$venv/bin/python" -m pytest -m soak -s tests

# libFuzzer targets over the core (core/fuzz), built with clang and both
# sanitizers in a project of their own. Each runs FUZZ_SECONDS from the corpus
# kept in the tree; what it finds that adds coverage is merged back into that
# corpus (FUZZ_MERGE=0 leaves the tree alone, as CI should). A finding stops
# the run and leaves the input in $(BUILD)/fuzz/.
FUZZ_SECONDS ?= 60
FUZZ_MERGE   ?= 1
FUZZ_TARGETS := sweep_fuzz network_fuzz
# std::source_location needs clang 15 or later.
FUZZ_CXX ?= $(firstword $(foreach v,19 18 17 16 15,$(shell command -v clang++-$(v) 2>/dev/null)))

fuzz-deps:
	@if [ -z "$(FUZZ_CXX)" ]; then
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
	    echo "== installing clang-16 and libclang-rt-16-dev with apt-get"
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-16 libclang-rt-16-dev >/dev/null
	  else
	    echo "clang 15 or later with libFuzzer is needed (set FUZZ_CXX)" >&2; exit 1
	  fi
	fi

fuzz: fuzz-deps
	@cxx="$(FUZZ_CXX)"; cxx="$${cxx:-$$(command -v clang++-16)}"
	cmake -S core/fuzz -B $(BUILD)/fuzz -DCMAKE_CXX_COMPILER="$$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD)/fuzz -j $(JOBS)
	for target in $(FUZZ_TARGETS); do
	  corpus="core/fuzz/corpus/$$target"
	  grown="$(BUILD)/fuzz/grown/$$target"
	  rm -rf "$$grown"; mkdir -p "$$grown"
	  case "$$target" in sweep_fuzz) max_len=12400 ;; *) max_len=1300 ;; esac  # largest input decoded
	  echo "== $$target for $(FUZZ_SECONDS) s"
	  # The core reports every capacity failure on standard error: keep that
	  # out of the terminal, and show the log's end only on a finding.
	  if ! "$(BUILD)/fuzz/$$target" -max_total_time=$(FUZZ_SECONDS) -max_len=$$max_len \
	      -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$(BUILD)/fuzz/$$target-" \
	      "$$grown" "$$corpus" >"$(BUILD)/fuzz/$$target.log" 2>&1; then
	    grep -v '^vornak core failure' "$(BUILD)/fuzz/$$target.log" | tail -60 >&2
	    echo "== $$target: finding, input saved as $(BUILD)/fuzz/$$target-*" >&2; exit 1
	  fi
	  grep -E '^stat::number_of_executed_units|^Done' "$(BUILD)/fuzz/$$target.log" || true
	  if [ "$(FUZZ_MERGE)" = 1 ]; then
	    "$(BUILD)/fuzz/$$target" -merge=1 -max_len=$$max_len "$$corpus" "$$grown" \
	      >"$(BUILD)/fuzz/$$target-merge.log" 2>&1
	    echo "   corpus: $$(ls "$$corpus" | wc -l) inputs"
	  fi
	done

# The Python header readers of radar files (Nyquist velocities) under
# hypothesis: hostile bytes from truncated, bit-flipped and spliced files,
# READERS_FUZZ_EXAMPLES per format (a few minutes). The Python suites run the
# same test briefly.
READERS_FUZZ_EXAMPLES ?= 3000
fuzz: fuzz-readers
fuzz-readers: python-env-py312-np2
	@venv="$(MAIN_VENV)"
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) "$$venv/bin/python" -m pip install -q --no-build-isolation \
	  -C build-dir="$(abspath $(CACHE))/build-py312-np2" "$(numpy_py312-np2)" ".[$(extras_py312-np2)]"
	echo "== reader fuzzing: $(READERS_FUZZ_EXAMPLES) inputs per format"
	VORNAK_FUZZ_EXAMPLES=$(READERS_FUZZ_EXAMPLES) "$$venv/bin/python" -m pytest -q -p no:cacheprovider \
	  tests/test_readers_fuzz.py

# The demo runs in the main environment with every extra: it dealiases a real
# sweep shipped with the package and writes demo.png here.
demo: deps python-env-py312-np2
	@venv="$(CACHE)/venv-py312-np2"
	echo "== installing vornak[all] into $$venv"
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) "$$venv/bin/python" -m pip install -q --no-build-isolation \
	  -C build-dir="$(abspath $(CACHE))/build-py312-np2" "$(numpy_py312-np2)" ".[all]"
	"$$venv/bin/vornak" demo -o demo.png

# The benchmark (bench/README.md) in an environment of its own with the
# libraries it compares against; the per-stage harness is built under
# $(CACHE)/bench. BENCH_ARGS=--quick gives a shorter run.
BENCH_VENV := $(CACHE)/venv-bench
BENCH_ARGS ?=
bench: deps
	@$(call make_venv,$(BENCH_VENV),$(PYTHON312),"numpy>=2" opencv-python-headless scikit-image)
	venv="$(BENCH_VENV)"
	echo "== installing vornak into $$venv"
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) "$$venv/bin/python" -m pip install -q --no-build-isolation \
	  -C build-dir="$(abspath $(CACHE))/build-bench" -C cmake.build-type=Release .
	"$$venv/bin/python" bench/run.py --stages "$(abspath $(CACHE))/bench" $(BENCH_ARGS)

# The file path against xradar's own open and CfRadial2 write of the same
# files (bench/README.md), in the main environment, which has every extra.
bench-files: deps python-env-py312-np2
	@venv="$(CACHE)/venv-py312-np2"
	echo "== installing vornak[all] into $$venv"
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) "$$venv/bin/python" -m pip install -q --no-build-isolation \
	  -C build-dir="$(abspath $(CACHE))/build-py312-np2" "$(numpy_py312-np2)" ".[all]"
	"$$venv/bin/python" bench/files.py $(BENCH_ARGS)

# The quality benchmark (bench/README.md, Quality): exact shares against truth
# and pseudo-truth, with and without anchoring and against scikit-image's
# unwrap_phase, in an environment of its own. QUALITY_ARGS=--quick folds at 6
# and 10 m/s only, without unwrap_phase.
QUALITY_VENV := $(CACHE)/venv-quality
QUALITY_ARGS ?=
bench-quality: deps
	@$(call make_venv,$(QUALITY_VENV),$(PYTHON312),"numpy>=2" scikit-image matplotlib)
	venv="$(QUALITY_VENV)"
	echo "== installing vornak into $$venv"
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) "$$venv/bin/python" -m pip install -q --no-build-isolation \
	  -C build-dir="$(abspath $(CACHE))/build-quality" -C cmake.build-type=Release .
	"$$venv/bin/python" bench/quality.py $(QUALITY_ARGS)

clean:
	rm -rf $(BUILD)
