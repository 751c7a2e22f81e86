// sweep_folds_py: binds and converts the arguments, checks the arrays, runs
// the core without the interpreter lock and returns its fold counts as a new
// int32 array. Inputs are read in place (only a misaligned vel goes through
// an aligned copy) and the output buffer becomes the array's memory.
#include "sweep_call.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "internal_failure.hpp"
#include "numpy_access.hpp"
#include "vornak/buffer.hpp"
#include "vornak/sweep.hpp"

namespace vornak::module {

const char sweep_folds_doc[] =
    "sweep_folds_py(vel, mask, nyquist, rays_wrap_around, interval_splits=3, "
    "skip_between_rays=100, skip_along_ray=100, centered=True)\n--\n\n"
    "Per-gate fold counts for one sweep.\n\n"
    "vel: float32 (nrays, ngates); mask: bool (nrays, ngates), True = excluded.\n"
    "Returns int32 (nrays, ngates) fold counts; dealiased = vel + folds*2*nyquist.";

namespace {

constexpr std::size_t parameter_count = 8;
constexpr std::size_t required_count = 4;
constexpr std::array<std::string_view, parameter_count> parameter_names = {
    "vel",          "mask",           "nyquist",           "rays_wrap_around",
    "interval_splits", "skip_between_rays", "skip_along_ray", "centered"};
enum Slot : std::size_t {
  vel_slot, mask_slot, nyquist_slot, wrap_slot, splits_slot, skip_rays_slot, skip_gates_slot,
  centered_slot
};

using Slots = std::array<PyObject*, parameter_count>;  // borrowed references

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's own wording.
std::string quoted_list(std::span<const std::string_view> names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) list += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    list += '\'';
    list += names[i];
    list += '\'';
  }
  return list;
}

bool bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Slots& slots) {
  if (nargs > static_cast<Py_ssize_t>(parameter_count)) {
    PyErr_Format(PyExc_TypeError,
                 "sweep_folds_py() takes from 4 to 8 positional arguments but %zd were given", nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];

  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
    std::size_t slot = parameter_count;
    if (utf8 == nullptr) {
      PyErr_Clear();
    } else {
      const std::string_view text(utf8, static_cast<std::size_t>(size));
      for (std::size_t p = 0; p < parameter_count; ++p) {
        if (parameter_names[p] == text) slot = p;
      }
    }
    if (slot == parameter_count) {
      PyErr_Format(PyExc_TypeError, "sweep_folds_py() got an unexpected keyword argument '%S'",
                   keyword);
      return false;
    }
    if (slots[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "sweep_folds_py() got multiple values for argument '%s'",
                   std::string(parameter_names[slot]).c_str());
      return false;
    }
    slots[slot] = args[nargs + k];
  }

  std::array<std::string_view, required_count> missing{};
  std::size_t missing_count = 0;
  for (std::size_t p = 0; p < required_count; ++p) {
    if (slots[p] == nullptr) missing[missing_count++] = parameter_names[p];
  }
  if (missing_count > 0) {
    const std::string list = quoted_list(std::span(missing.data(), missing_count));
    PyErr_Format(PyExc_TypeError, "sweep_folds_py() missing %zu required positional argument%s: %s",
                 missing_count, missing_count == 1 ? "" : "s", list.c_str());
    return false;
  }
  return true;
}

// A failed conversion of parameter `slot`: an exact TypeError is re-raised
// with the parameter named, keeping the original's cause; anything else
// (OverflowError, say) passes unchanged. Returns nullptr.
PyObject* fail(std::size_t slot) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr || !Py_IS_TYPE(raised, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyErr_SetRaisedException(raised);
    return nullptr;
  }
  Ref original(raised);
  const std::string name(parameter_names[slot]);
  Ref message(PyUnicode_FromFormat("argument '%s': %S", name.c_str(), raised));
  if (!message) return nullptr;
  PyObject* replacement = PyObject_CallOneArg(PyExc_TypeError, message.get());
  if (replacement == nullptr) return nullptr;
  if (PyObject* cause = PyException_GetCause(raised)) PyException_SetCause(replacement, cause);
  PyErr_SetRaisedException(replacement);
  return nullptr;
}

bool to_double(PyObject* obj, double& value) {
  if (PyFloat_CheckExact(obj)) {
    value = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  value = PyFloat_AsDouble(obj);
  return !(value == -1.0 && PyErr_Occurred());
}

bool to_int64(PyObject* obj, std::int64_t& value) {
  static_assert(sizeof(long) == sizeof(std::int64_t), "a C long must hold 64 bits");
  const long converted = PyLong_AsLong(obj);
  if (converted == -1 && PyErr_Occurred()) return false;
  value = converted;
  return true;
}

// NumPy's boolean scalar type is numpy.bool_ (NumPy 1) or numpy.bool (NumPy 2).
bool is_numpy_bool_type(PyTypeObject* type) {
  Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
    return false;
  }
  Ref name(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

// Only real booleans: `1` or None for a flag is far more often a mistake
// than a wish.
bool to_bool(PyObject* obj, bool& value) {
  if (PyBool_Check(obj)) {
    value = obj == Py_True;
    return true;
  }
  PyTypeObject* type = Py_TYPE(obj);
  if (!is_numpy_bool_type(type)) return refuse_conversion(obj, "PyBool");
  inquiry nb_bool = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
  if (nb_bool == nullptr) {
    PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                 reinterpret_cast<PyObject*>(type));
    return false;
  }
  const int truth = nb_bool(obj);
  if (truth == 0 || truth == 1) {
    value = truth == 1;
    return true;
  }
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "__bool__ failed without an exception");
  return false;
}

PyObject* run_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Slots slots{};
  if (!bind_arguments(args, nargs, kwnames, slots)) return nullptr;

  // Declared vel first: views are released in reverse, mask before vel.
  ArrayView vel;
  ArrayView mask;
  double nyquist = 0.0;
  bool rays_wrap_around = false;
  SweepParams params;  // the Python defaults

  if (!accept_array(slots[vel_slot], ElementType::float32, vel)) return fail(vel_slot);
  if (!accept_array(slots[mask_slot], ElementType::boolean, mask)) return fail(mask_slot);
  if (!to_double(slots[nyquist_slot], nyquist)) return fail(nyquist_slot);
  if (!to_bool(slots[wrap_slot], rays_wrap_around)) return fail(wrap_slot);
  if (slots[splits_slot] != nullptr && !to_int64(slots[splits_slot], params.interval_splits)) {
    return fail(splits_slot);
  }
  if (slots[skip_rays_slot] != nullptr && !to_int64(slots[skip_rays_slot], params.skip_between_rays)) {
    return fail(skip_rays_slot);
  }
  if (slots[skip_gates_slot] != nullptr && !to_int64(slots[skip_gates_slot], params.skip_along_ray)) {
    return fail(skip_gates_slot);
  }
  if (slots[centered_slot] != nullptr && !to_bool(slots[centered_slot], params.centered)) {
    return fail(centered_slot);
  }

  if (vel.rows != mask.rows || vel.cols != mask.cols) {
    PyErr_SetString(PyExc_ValueError, "vel and mask must have the same shape");
    return nullptr;
  }
  if (!vel.c_contiguous()) {
    PyErr_SetString(PyExc_ValueError, "vel must be C-contiguous");
    return nullptr;
  }
  if (!mask.c_contiguous()) {
    PyErr_SetString(PyExc_ValueError, "mask must be C-contiguous");
    return nullptr;
  }

  const std::size_t nrays = vel.rows;
  const std::size_t ngates = vel.cols;
  const std::size_t n = nrays * ngates;  // the arrays exist, so this fits
  const float* vel_data = reinterpret_cast<const float*>(vel.data);
  // NumPy can hand out a float32 array at any byte offset (frombuffer, views
  // of raw bytes); the core reads floats, so such an array is read through
  // an aligned copy rather than through a misaligned pointer.
  Buffer<float> aligned_vel;
  if (n > 0 && reinterpret_cast<std::uintptr_t>(vel.data) % alignof(float) != 0) {
    aligned_vel = zeros<float>(n);
    std::memcpy(aligned_vel.data(), vel.data, n * sizeof(float));
    vel_data = aligned_vel.data();
  }
  const auto* mask_data = reinterpret_cast<const std::uint8_t*>(mask.data);

  FoldCounts folds;
  {
    LockReleased unlocked;
    folds = sweep_folds(std::span(vel_data, n), nrays, ngates, std::span(mask_data, n), nyquist,
                        rays_wrap_around, params);
  }

  if (folds.size() < n) {
    folds = FoldCounts();
    PyErr_SetString(PyExc_ValueError, "ShapeError/OutOfBounds: out of bounds indexing");
    return nullptr;
  }
  if (folds.size() > n) {
    folds = FoldCounts();
    PyErr_SetString(PyExc_ValueError, "ShapeError/IncompatibleShape: incompatible shapes");
    return nullptr;
  }
  return wrap_fold_counts(std::move(folds), nrays, ngates);
}

}  // namespace

PyObject* sweep_folds_py(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) noexcept {
  return guarded([&] { return run_call(args, PyVectorcall_NARGS(nargsf), kwnames); });
}

}  // namespace vornak::module
