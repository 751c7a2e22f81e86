// Small helpers for owning and describing Python objects, and for giving up
// the interpreter lock, in the module layer.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <string>

namespace vornak::module {

struct Decref {
  void operator()(PyObject* obj) const noexcept { Py_DECREF(obj); }
};

// A strong reference, released when it goes out of scope.
using Ref = std::unique_ptr<PyObject, Decref>;

// The interpreter lock is given up for the lifetime of this object; the
// destructor takes it back first thing, also while a failure unwinds.
class LockReleased {
 public:
  LockReleased() noexcept : state_(PyEval_SaveThread()) {}
  LockReleased(const LockReleased&) = delete;
  LockReleased& operator=(const LockReleased&) = delete;
  ~LockReleased() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// The `__qualname__` of `type`, or "<failed to extract type name>" (the
// lookup error is cleared) when it cannot be read.
[[nodiscard]] std::string qualified_name(PyTypeObject* type);

// Sets TypeError "'QUALNAME' object cannot be converted to 'TARGET'" for the
// type of `obj`. Returns false, for `return refuse_conversion(...)`.
bool refuse_conversion(PyObject* obj, const char* target);

// "TypeName: message" for the pending Python error, which is cleared. Used
// where a Python error becomes part of an internal-failure text.
[[nodiscard]] std::string describe_pending_error();

}  // namespace vornak::module
