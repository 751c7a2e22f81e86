// speckle_folds: the sweep's arrays checked before the kernel reads them,
// the interpreter lock given up while it runs, every failure a Python
// exception.
#include "speckle_call.hpp"

#include <algorithm>
#include <cstdint>

#include "anchor_arrays.hpp"
#include "kernel_guard.hpp"
#include "vornak/speckle.hpp"

namespace vornak::anchor_module {

namespace {

using I64 = std::int64_t;

const State& state_of(PyObject* module) { return *static_cast<const State*>(PyModule_GetState(module)); }

bool fail_value(const char* text) {
  PyErr_SetString(PyExc_ValueError, text);
  return false;
}

// The two steps of the repair for one pair of element types; `about_zero`
// (the Python callable) decides which group means are about zero.
template <class Velocity, class Fold>
PyObject* repair(const State& state, const speckle::Sweep<Velocity, Fold>& sweep, PyObject* about_zero,
                 const View& folds) {
  View out_view;
  Ref out = new_array(state, {static_cast<Py_ssize_t>(sweep.rays), static_cast<Py_ssize_t>(sweep.gates)},
                      folds.kind(), out_view);
  if (!out) return nullptr;
  Fold* const repaired = out_view.span<Fold>().data();
  speckle::Groups groups;
  {
    LockReleased unlocked;
    groups = speckle::lifted_groups(sweep, repaired);
  }
  std::size_t changed = 0;
  if (!groups.list.empty()) {
    const auto count = static_cast<Py_ssize_t>(groups.list.size());
    View sin_view, cos_view;
    Ref sin_sum = new_array(state, {count}, Kind::float64, sin_view);
    Ref cos_sum = sin_sum ? new_array(state, {count}, Kind::float64, cos_view) : nullptr;
    if (!cos_sum) return nullptr;
    for (std::size_t i = 0; i < groups.list.size(); ++i) {
      sin_view.span<double>()[i] = groups.list[i].sin_sum;
      cos_view.span<double>()[i] = groups.list[i].cos_sum;
    }
    Ref flags(PyObject_CallFunctionObjArgs(about_zero, sin_sum.get(), cos_sum.get(), nullptr));
    if (!flags) return nullptr;
    View near;
    if (!near.take(flags.get(), "about_zero", {Kind::boolean}, 1)) return nullptr;
    if (near.size() != groups.list.size()) {
      return fail_value("vornak: the speckle repair needs one about-zero flag per group"), nullptr;
    }
    LockReleased unlocked;
    changed = speckle::put_back(sweep, groups, near.span<const std::uint8_t>(), repaired);
  }
  Ref changed_obj(PyLong_FromSize_t(changed));
  if (!changed_obj) return nullptr;
  return tuple_of({out.get(), changed_obj.get()}).release();
}

// speckle_folds(excluded, velocity, folds, nyquist, wrap, about_zero) -> (folds, changed)
PyObject* speckle_folds(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 6) {
    PyErr_Format(PyExc_TypeError, "speckle_folds() takes 6 positional arguments but %zd were given", nargs);
    return nullptr;
  }
  View excluded, velocity, folds;
  if (!excluded.take(args[0], "excluded", {Kind::boolean}, 2) ||
      !velocity.take(args[1], "velocity", {Kind::float32, Kind::float64}, 2) ||
      !folds.take(args[2], "folds", {Kind::int32, Kind::int64}, 2)) {
    return nullptr;
  }
  const std::size_t rays = excluded.extent(0), gates = excluded.extent(1);
  if (velocity.extent(0) != rays || velocity.extent(1) != gates || folds.extent(0) != rays ||
      folds.extent(1) != gates) {
    return fail_value("vornak: the sweep's excluded, velocity and folds must have the same shape"), nullptr;
  }
  const double nyquist = PyFloat_AsDouble(args[3]);
  if (nyquist == -1.0 && PyErr_Occurred()) return nullptr;
  if (!(nyquist > 0.0)) return fail_value("vornak: the Nyquist velocity must be positive"), nullptr;
  const int wrap = PyObject_IsTrue(args[4]);
  if (wrap < 0) return nullptr;
  if (!PyCallable_Check(args[5])) {
    PyErr_SetString(PyExc_TypeError, "vornak: speckle_folds needs a callable deciding which means are about zero");
    return nullptr;
  }
  const State& state = state_of(module);
  const auto* mask = excluded.span<const std::uint8_t>().data();
  auto run = [&](const auto* vel, const auto* fold) {
    using V = std::remove_cvref_t<decltype(*vel)>;
    using F = std::remove_cvref_t<decltype(*fold)>;
    const speckle::Sweep<V, F> sweep{mask, vel, fold, rays, gates, nyquist, wrap == 1};
    return repair(state, sweep, args[5], folds);
  };
  const bool single = velocity.kind() == Kind::float32, narrow = folds.kind() == Kind::int32;
  if (single && narrow) return run(velocity.span<const float>().data(), folds.span<const std::int32_t>().data());
  if (single) return run(velocity.span<const float>().data(), folds.span<const I64>().data());
  if (narrow) return run(velocity.span<const double>().data(), folds.span<const std::int32_t>().data());
  return run(velocity.span<const double>().data(), folds.span<const I64>().data());
}

PyObject* entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guarded("the speckle repair", [&] { return speckle_folds(module, args, nargs); });
}

}  // namespace

PyMethodDef speckle_methods[] = {
    {"speckle_folds", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry)), METH_FASTCALL,
     "speckle_folds(excluded, velocity, folds, nyquist, wrap, about_zero) -> (folds, changed)\n--\n\n"
     "Folds with the scattered groups of clutter raised by a fold put back to 0; `about_zero(sin_sums, "
     "cos_sums)` says which group means are about zero."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vornak::anchor_module
