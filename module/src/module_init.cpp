// Initialisation of the extension module _vornak: one interpreter per
// process, one module object handed out on every import.
#include <atomic>
#include <cstdint>
#include <new>

#include "internal_failure.hpp"
#include "sweep_call.hpp"
#include "vornak/buffer.hpp"

namespace vornak::module {

namespace {

static_assert(PYTHON_API_VERSION == 1013, "the module is built for C API version 1013");

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_vornak",
    "",  // __doc__ is the empty string, not None
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The module keeps process-wide state (NumPy's table, the exception class)
// that belongs to one interpreter, so only the first interpreter that
// imports it may use it.
std::atomic<std::int64_t> owner_interpreter{-1};

// The module object, kept for the life of the process once made.
PyObject* module_cell = nullptr;

// Fails with the pending exception, or SystemError when the failed call set
// none. Returns false.
bool pending_or_system_error() {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  return false;
}

// Appends `name` to the module's __all__ (made when absent) and sets the
// attribute. Returns false with an exception set.
bool add_attribute(PyObject* module, PyObject* name, PyObject* value) {
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all.reset(PyList_New(0));
    if (!all) return pending_or_system_error();
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  } else if (!PyList_Check(all.get())) {
    return refuse_conversion(all.get(), "PyList");
  }
  if (PyList_Append(all.get(), name) < 0) {
    throw InternalFailure("could not append __name__ to __all__: " + describe_pending_error());
  }
  return PyObject_SetAttr(module, name, value) == 0;
}

bool fill_module(PyObject* module) {
  Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return pending_or_system_error();

  // The function object points into the record for the life of the process.
  auto* method = new (std::nothrow) PyMethodDef{
      "sweep_folds_py", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&sweep_folds_py)),
      METH_FASTCALL | METH_KEYWORDS, sweep_folds_doc};
  if (method == nullptr) abort_allocation_failed(sizeof(PyMethodDef));
  Ref function(PyCMethod_New(method, module, module_name.get(), nullptr));
  if (!function) return pending_or_system_error();

  Ref function_name(PyObject_GetAttrString(function.get(), "__name__"));
  if (!function_name) return false;
  if (!PyUnicode_Check(function_name.get())) return refuse_conversion(function_name.get(), "PyString");
  if (!add_attribute(module, function_name.get(), function.get())) return false;

  Ref version_name(PyUnicode_FromString("__version__"));
  Ref version(PyUnicode_FromString("0.1.0"));
  if (!version_name || !version) return pending_or_system_error();
  return add_attribute(module, version_name.get(), version.get());
}

PyObject* initialise() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1) return pending_or_system_error(), nullptr;
  std::int64_t expected = -1;
  if (!owner_interpreter.compare_exchange_strong(expected, interpreter) && expected != interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "_vornak does not support sub-interpreters: it is already in use by another "
                    "interpreter of this process");
    return nullptr;
  }

  if (module_cell != nullptr) return Py_NewRef(module_cell);

  Ref module(PyModule_Create2(&module_def, PYTHON_API_VERSION));
  if (!module) return pending_or_system_error(), nullptr;
  if (!fill_module(module.get())) return nullptr;

  if (module_cell == nullptr) module_cell = module.release();
  return Py_NewRef(module_cell);
}

}  // namespace

}  // namespace vornak::module

PyMODINIT_FUNC PyInit__vornak() {
  return vornak::module::guarded([] { return vornak::module::initialise(); });
}
