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
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(BUILD)/sanitize --output-on-failure -j $(JOBS)

# Python suites: filled in with the extension (one venv per interpreter/NumPy pair).
test-python:
	@echo "== no Python suites yet"

demo:
	@echo "make demo comes with the Python layer" >&2; exit 1

clean:
	rm -rf $(BUILD)
