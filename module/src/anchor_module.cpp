// Initialisation of _vornak_anchor, the kernels of volume anchoring
// (python/vornak/_anchor.py). Multi-phase: numpy.empty and the dtypes the
// functions make arrays with are kept in the module's own state.
#include "anchor_arrays.hpp"
#include "anchor_calls.hpp"
#include "gate_calls.hpp"
#include "speckle_call.hpp"

namespace vornak::anchor_module {

namespace {

constexpr const char* dtype_names[5] = {"bool", "int32", "int64", "float32", "float64"};

State& state_of(PyObject* module) { return *static_cast<State*>(PyModule_GetState(module)); }

int exec_module(PyObject* module) {
  State& state = state_of(module);
  Ref numpy(PyImport_ImportModule("numpy"));
  if (!numpy) return -1;
  state.empty = PyObject_GetAttrString(numpy.get(), "empty");
  if (state.empty == nullptr) return -1;
  state.frombuffer = PyObject_GetAttrString(numpy.get(), "frombuffer");
  if (state.frombuffer == nullptr) return -1;
  Ref dtype(PyObject_GetAttrString(numpy.get(), "dtype"));
  if (!dtype) return -1;
  for (int k = 0; k < 5; ++k) {
    state.dtype[k] = PyObject_CallFunction(dtype.get(), "s", dtype_names[k]);
    if (state.dtype[k] == nullptr) return -1;
  }
  if (PyModule_AddFunctions(module, gate_methods) < 0) return -1;
  return PyModule_AddFunctions(module, speckle_methods);
}

int traverse(PyObject* module, visitproc visit, void* arg) {
  State& state = state_of(module);
  Py_VISIT(state.empty);
  Py_VISIT(state.frombuffer);
  for (PyObject* d : state.dtype) Py_VISIT(d);
  for (const CheckedGates& c : state.checked) {
    Py_VISIT(c.ray);
    Py_VISIT(c.gate);
  }
  return 0;
}

int clear(PyObject* module) {
  State& state = state_of(module);
  Py_CLEAR(state.empty);
  Py_CLEAR(state.frombuffer);
  for (PyObject*& d : state.dtype) Py_CLEAR(d);
  for (CheckedGates& c : state.checked) {
    Py_CLEAR(c.ray);
    Py_CLEAR(c.gate);
  }
  return 0;
}

void free_module(void* module) { clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vornak._vornak_anchor",
    "Kernels of volume anchoring: blocks, echo components, co-located references, agreement, VAD ring sums, "
    "nearby echo; the speckle repair.",
    sizeof(State),
    methods,
    slots,
    traverse,
    clear,
    free_module,
};

}  // namespace

}  // namespace vornak::anchor_module

PyMODINIT_FUNC PyInit__vornak_anchor() { return PyModuleDef_Init(&vornak::anchor_module::module_def); }
