// The boundary between the compiled steps after the exact folds and Python:
// no C++ exception crosses it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>

namespace vornak::anchor_module {

// body() (a new reference, or null with a Python exception set), with a
// C++ failure raised as MemoryError or a RuntimeError naming the `step`
// ("anchoring", "the speckle repair") that failed.
template <class Body>
PyObject* guarded(const char* step, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& failure) {
    PyErr_Format(PyExc_RuntimeError, "vornak: %s failed inside: %s", step, failure.what());
    return nullptr;
  } catch (...) {
    PyErr_Format(PyExc_RuntimeError, "vornak: %s failed inside (no description)", step);
    return nullptr;
  }
}

}  // namespace vornak::anchor_module
