// NumPy access without NumPy's headers or import_array: the few table entries
// and array fields used here are declared below. Their positions are part of
// NumPy's ABI and are the same in NumPy 1.26 and 2.x; tests/test_numpy_table.py
// checks them against the headers of the NumPy installed.
#include "numpy_access.hpp"

#include <new>
#include <string>
#include <utility>

#include "internal_failure.hpp"

namespace vornak::module {

namespace {

using npy_intp = Py_ssize_t;
struct ArrayDescr;  // PyArray_Descr: only compared and passed back to NumPy

// The leading fields of NumPy's PyArrayObject, unchanged since NumPy 1.7.
struct ArrayFields {
  PyObject_HEAD
  char* data;
  int nd;
  npy_intp* dimensions;
  npy_intp* strides;
  PyObject* base;
  ArrayDescr* descr;
  int flags;
};

constexpr int array_writeable = 0x0400;  // NPY_ARRAY_WRITEABLE

// Positions in NumPy's multiarray API table.
constexpr std::size_t api_array_type = 2;
constexpr std::size_t api_descr_from_type = 45;
constexpr std::size_t api_new_from_descr = 94;
constexpr std::size_t api_equiv_types = 182;
constexpr std::size_t api_set_base_object = 282;

using DescrFromType = ArrayDescr* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, ArrayDescr*, int, const npy_intp*,
                                   const npy_intp*, void*, int, PyObject*);
using EquivTypes = unsigned char (*)(ArrayDescr*, ArrayDescr*);
using SetBaseObject = int (*)(PyObject*, PyObject*);

// Set once, on the first successful load; the capsule keeps the table alive.
void** api_table = nullptr;
PyObject* api_capsule = nullptr;

[[noreturn]] void fail_api_access() {
  throw InternalFailure("Failed to access NumPy array API capsule: " + describe_pending_error());
}

Ref import_module(const char* name) {
  Ref module(PyImport_ImportModule(name));
  if (!module) fail_api_access();
  return module;
}

Ref attribute(PyObject* obj, const char* name) {
  Ref value(PyObject_GetAttrString(obj, name));
  if (!value) fail_api_access();
  return value;
}

// NumPy 2 moved its core package to numpy._core (numpy.core still works
// there, with a deprecation warning).
const char* multiarray_module_name() {
  Ref numpy = import_module("numpy");
  Ref version = attribute(numpy.get(), "__version__");
  Ref numpy_lib = import_module("numpy.lib");
  Ref numpy_version = attribute(numpy_lib.get(), "NumpyVersion");
  Ref parsed(PyObject_CallOneArg(numpy_version.get(), version.get()));
  if (!parsed) fail_api_access();
  Ref major_obj = attribute(parsed.get(), "major");
  long major = PyLong_AsLong(major_obj.get());
  if (major == -1 && PyErr_Occurred()) fail_api_access();
  if (major < 0 || major > 255) {
    PyErr_Format(PyExc_OverflowError, "NumPy major version %ld is not an unsigned 8-bit integer",
                 major);
    fail_api_access();
  }
  return major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
}

void** load_api_table() {
  if (api_table != nullptr) return api_table;
  Ref multiarray = import_module(multiarray_module_name());
  Ref capsule = attribute(multiarray.get(), "_ARRAY_API");
  if (!PyCapsule_CheckExact(capsule.get())) {
    refuse_conversion(capsule.get(), "PyCapsule");
    fail_api_access();
  }
  const char* name = PyCapsule_GetName(capsule.get());
  if (name == nullptr) PyErr_Clear();
  void* table = PyCapsule_GetPointer(capsule.get(), name);
  if (table == nullptr) {
    // A capsule always holds a pointer; caching a null table would crash
    // every later call, so this counts as a failed load.
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, "_ARRAY_API holds no table");
    fail_api_access();
  }
  api_capsule = capsule.release();
  api_table = static_cast<void**>(table);
  return api_table;
}

template <class Function>
Function entry(void** table, std::size_t index) {
  return reinterpret_cast<Function>(table[index]);
}

constexpr std::size_t item_size_of(ElementType type) {
  switch (type) {
    case ElementType::boolean: return 1;
    case ElementType::int32: return 4;
    case ElementType::float32: return 4;
  }
  return 0;
}

bool refuse_array(PyObject* obj) { return refuse_conversion(obj, "PyArray<T, D>"); }

// The result owner: a capsule whose destructor deletes the core's buffer.
constexpr const char* fold_counts_capsule_name = "vornak.fold_counts";

void free_fold_counts(PyObject* capsule) noexcept {
  delete static_cast<FoldCounts*>(PyCapsule_GetPointer(capsule, fold_counts_capsule_name));
}

// NumPy allocates memory of its own when handed a null data pointer, so an
// empty result points here instead; nothing is ever read or written there.
std::int32_t empty_result_slot = 0;

[[noreturn]] void fail_array_creation() {
  if (PyErr_Occurred()) PyErr_PrintEx(0);
  throw InternalFailure("Python API call failed");
}

}  // namespace

bool ArrayView::c_contiguous() const noexcept {
  if (rows == 0 || cols == 0) return true;
  const bool cols_dense = cols == 1 || col_stride == static_cast<Py_ssize_t>(item_size);
  const bool rows_dense = rows == 1 || static_cast<std::uint64_t>(row_stride) == cols * item_size;
  return cols_dense && rows_dense;
}

bool accept_array(PyObject* obj, ElementType type, ArrayView& view) {
  void** table = load_api_table();
  auto* array_type = static_cast<PyTypeObject*>(table[api_array_type]);
  if (!PyObject_TypeCheck(obj, array_type)) return refuse_array(obj);
  auto* fields = reinterpret_cast<ArrayFields*>(obj);
  if (fields->nd != 2) return refuse_array(obj);

  ArrayDescr* wanted = entry<DescrFromType>(table, api_descr_from_type)(static_cast<int>(type));
  if (wanted == nullptr) {
    throw InternalFailure("Python API call failed: " + describe_pending_error());
  }
  const bool equivalent =
      wanted == fields->descr || entry<EquivTypes>(table, api_equiv_types)(wanted, fields->descr) != 0;
  Py_DECREF(reinterpret_cast<PyObject*>(wanted));
  if (!equivalent) return refuse_array(obj);

  view.array = Py_NewRef(obj);
  view.data = fields->data;
  view.rows = static_cast<std::uint64_t>(fields->dimensions[0]);
  view.cols = static_cast<std::uint64_t>(fields->dimensions[1]);
  view.row_stride = fields->strides[0];
  view.col_stride = fields->strides[1];
  view.item_size = item_size_of(type);
  return true;
}

PyObject* wrap_fold_counts(FoldCounts&& folds, std::size_t nrays, std::size_t ngates) {
  void** table = load_api_table();

  auto* owned = new (std::nothrow) FoldCounts(std::move(folds));
  if (owned == nullptr) abort_allocation_failed(sizeof(FoldCounts));
  void* data = owned->empty() ? static_cast<void*>(&empty_result_slot) : owned->data();
  PyObject* owner = PyCapsule_New(owned, fold_counts_capsule_name, free_fold_counts);
  if (owner == nullptr) {
    delete owned;
    throw InternalFailure("Failed to create slice container: " + describe_pending_error());
  }

  // From here on the owner alone frees the buffer.
  ArrayDescr* descr = entry<DescrFromType>(table, api_descr_from_type)(static_cast<int>(ElementType::int32));
  if (descr == nullptr) {
    Py_DECREF(owner);
    fail_array_creation();
  }
  const bool empty = nrays == 0 || ngates == 0;
  const npy_intp dims[2] = {static_cast<npy_intp>(nrays), static_cast<npy_intp>(ngates)};
  const npy_intp strides[2] = {empty ? 0 : static_cast<npy_intp>(4 * ngates), empty ? 0 : 4};
  // The descriptor's reference passes to NumPy, on failure too.
  PyObject* array = entry<NewFromDescr>(table, api_new_from_descr)(
      static_cast<PyTypeObject*>(table[api_array_type]), descr, 2, dims, strides, data,
      array_writeable, nullptr);
  if (array == nullptr) {
    Py_DECREF(owner);
    fail_array_creation();
  }
  // Takes the owner's reference, on failure too.
  if (entry<SetBaseObject>(table, api_set_base_object)(array, owner) < 0) {
    Py_DECREF(array);
    fail_array_creation();
  }
  return array;
}

}  // namespace vornak::module
