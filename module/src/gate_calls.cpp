// codes_and_bound, unfold, sampled_noise and neighbour_jumps: the arrays
// checked before the kernels read them, the interpreter lock given up while
// they run, every failure a Python exception.
#include "gate_calls.hpp"

#include <cstdint>

#include "anchor_arrays.hpp"
#include "kernel_guard.hpp"
#include "vornak/gate_values.hpp"
#include "vornak/neighbour_jumps.hpp"
#include "vornak/noise_sample.hpp"

namespace vornak::anchor_module {

namespace {

const State& state_of(PyObject* module) { return *static_cast<const State*>(PyModule_GetState(module)); }

bool count_is(const char* function, Py_ssize_t nargs, Py_ssize_t wanted) {
  if (nargs == wanted) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given", function, wanted, nargs);
  return false;
}

Ref sweep_array(PyObject* module, const View& like, Kind kind, View& view) {
  return new_array(state_of(module), {static_cast<Py_ssize_t>(like.extent(0)), static_cast<Py_ssize_t>(like.extent(1))},
                   kind, view);
}

// codes_and_bound(values, bound, codes, implausible_codes) -> (float32 values, excluded, implausible count)
PyObject* codes_and_bound(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
  if (!count_is("codes_and_bound", nargs, 4)) return nullptr;
  View values, codes;
  if (!values.take(args[0], "values", {Kind::float32, Kind::float64}, 2) ||
      !codes.take(args[2], "codes", {Kind::float64}, 1)) {
    return nullptr;
  }
  const double bound = PyFloat_AsDouble(args[1]);
  if (bound == -1.0 && PyErr_Occurred()) return nullptr;
  const Py_ssize_t first = PyLong_AsSsize_t(args[3]);
  if (first == -1 && PyErr_Occurred()) return nullptr;
  if (first < 0 || static_cast<std::size_t>(first) > codes.size()) {
    PyErr_SetString(PyExc_ValueError, "vornak: the count of implausible codes must be between 0 and the codes given");
    return nullptr;
  }
  View out_view, single_view;
  Ref out = sweep_array(module, values, Kind::boolean, out_view);
  Ref single = out ? sweep_array(module, values, Kind::float32, single_view) : nullptr;
  if (!single) return nullptr;
  std::size_t count = 0;
  {
    LockReleased unlocked;
    const auto c = codes.span<const double>();
    const auto flags = out_view.span<std::uint8_t>();
    const auto n = static_cast<std::size_t>(first);
    const auto floats = single_view.span<float>();
    count = values.kind() == Kind::float32
                ? gates::codes_and_bound(values.span<const float>(), bound, c, n, flags, floats)
                : gates::codes_and_bound(values.span<const double>(), bound, c, n, flags, floats);
  }
  Ref count_obj(PyLong_FromSize_t(count));
  if (!count_obj) return nullptr;
  return tuple_of({single.get(), out.get(), count_obj.get()}).release();
}

// unfold(velocity, folds, excluded, span) -> float32 dealiased velocity, NaN where excluded
PyObject* unfold(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
  if (!count_is("unfold", nargs, 4)) return nullptr;
  View velocity, folds, excluded;
  if (!velocity.take(args[0], "velocity", {Kind::float32, Kind::float64}, 2) ||
      !folds.take(args[1], "folds", {Kind::int32, Kind::int64}, 2) ||
      !excluded.take(args[2], "excluded", {Kind::boolean}, 2)) {
    return nullptr;
  }
  const double span = PyFloat_AsDouble(args[3]);
  if (span == -1.0 && PyErr_Occurred()) return nullptr;
  for (const View* other : {&folds, &excluded}) {
    if (other->extent(0) != velocity.extent(0) || other->extent(1) != velocity.extent(1)) {
      PyErr_SetString(PyExc_ValueError, "vornak: the sweep's velocity, folds and excluded must have the same shape");
      return nullptr;
    }
  }
  View out_view;
  Ref out = sweep_array(module, velocity, Kind::float32, out_view);
  if (!out) return nullptr;
  LockReleased unlocked;
  const auto* mask = excluded.span<const std::uint8_t>().data();
  const auto dealiased = out_view.span<float>();
  const bool single = velocity.kind() == Kind::float32, narrow = folds.kind() == Kind::int32;
  if (single && narrow) {
    gates::unfold(velocity.span<const float>(), folds.span<const std::int32_t>().data(), mask, span, dealiased);
  } else if (single) {
    gates::unfold(velocity.span<const float>(), folds.span<const std::int64_t>().data(), mask, span, dealiased);
  } else if (narrow) {
    gates::unfold(velocity.span<const double>(), folds.span<const std::int32_t>().data(), mask, span, dealiased);
  } else {
    gates::unfold(velocity.span<const double>(), folds.span<const std::int64_t>().data(), mask, span, dealiased);
  }
  return out.release();
}

// sampled_noise(velocity, excluded or None, span, limit, wrap, step) -> (noisy, valid)
PyObject* sampled_noise(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  if (!count_is("sampled_noise", nargs, 6)) return nullptr;
  View velocity, excluded;
  if (!velocity.take(args[0], "velocity", {Kind::float32}, 2)) return nullptr;
  const bool masked = args[1] != Py_None;
  if (masked && !excluded.take(args[1], "excluded", {Kind::boolean}, 2)) return nullptr;
  if (masked && (excluded.extent(0) != velocity.extent(0) || excluded.extent(1) != velocity.extent(1))) {
    PyErr_SetString(PyExc_ValueError, "vornak: the sweep's velocity and excluded must have the same shape");
    return nullptr;
  }
  const double span = PyFloat_AsDouble(args[2]);
  if (span == -1.0 && PyErr_Occurred()) return nullptr;
  const double limit = PyFloat_AsDouble(args[3]);
  if (limit == -1.0 && PyErr_Occurred()) return nullptr;
  const int wrap = PyObject_IsTrue(args[4]);
  if (wrap < 0) return nullptr;
  const Py_ssize_t step = PyLong_AsSsize_t(args[5]);
  if (step == -1 && PyErr_Occurred()) return nullptr;
  if (step <= 0) {
    PyErr_SetString(PyExc_ValueError, "vornak: the sample step must be positive");
    return nullptr;
  }
  noise::Count count;
  {
    LockReleased unlocked;
    count = noise::sampled_noise(velocity.span<const float>().data(),
                                 masked ? excluded.span<const std::uint8_t>().data() : nullptr, velocity.extent(0),
                                 velocity.extent(1), static_cast<float>(span), static_cast<float>(limit), wrap == 1,
                                 static_cast<std::size_t>(step));
  }
  return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(count.noisy), static_cast<Py_ssize_t>(count.valid));
}

// neighbour_jumps(velocity, folds, excluded, span, nyquist, wrap)
//   -> (along jumps, along pairs, across jumps, across pairs, wrap jumps, wrap pairs)
PyObject* neighbour_jumps(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!count_is("neighbour_jumps", nargs, 6)) return nullptr;
  View velocity, folds, excluded;
  if (!velocity.take(args[0], "velocity", {Kind::float32}, 2) ||
      !folds.take(args[1], "folds", {Kind::int32, Kind::int64}, 2) ||
      !excluded.take(args[2], "excluded", {Kind::boolean}, 2)) {
    return nullptr;
  }
  for (const View* other : {&folds, &excluded}) {
    if (other->extent(0) != velocity.extent(0) || other->extent(1) != velocity.extent(1)) {
      PyErr_SetString(PyExc_ValueError, "vornak: the sweep's velocity, folds and excluded must have the same shape");
      return nullptr;
    }
  }
  const double span = PyFloat_AsDouble(args[3]);
  if (span == -1.0 && PyErr_Occurred()) return nullptr;
  const double nyquist = PyFloat_AsDouble(args[4]);
  if (nyquist == -1.0 && PyErr_Occurred()) return nullptr;
  const int wrap = PyObject_IsTrue(args[5]);
  if (wrap < 0) return nullptr;
  gates::NeighbourJumps counts;
  {
    LockReleased unlocked;
    const auto* v = velocity.span<const float>().data();
    const auto* mask = excluded.span<const std::uint8_t>().data();
    const std::size_t rays = velocity.extent(0), ngates = velocity.extent(1);
    counts = folds.kind() == Kind::int32
                 ? gates::neighbour_jumps(v, folds.span<const std::int32_t>().data(), mask, rays, ngates, span,
                                          nyquist, wrap == 1)
                 : gates::neighbour_jumps(v, folds.span<const std::int64_t>().data(), mask, rays, ngates, span,
                                          nyquist, wrap == 1);
  }
  return Py_BuildValue("(nnnnnn)", static_cast<Py_ssize_t>(counts.along.jumps),
                       static_cast<Py_ssize_t>(counts.along.pairs), static_cast<Py_ssize_t>(counts.across.jumps),
                       static_cast<Py_ssize_t>(counts.across.pairs), static_cast<Py_ssize_t>(counts.wrap.jumps),
                       static_cast<Py_ssize_t>(counts.wrap.pairs));
}

PyObject* guarded_neighbour_jumps(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guarded("the seam repair", [&] { return neighbour_jumps(module, args, nargs); });
}

}  // namespace

PyMethodDef gate_methods[] = {
    {"codes_and_bound", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&codes_and_bound)),
     METH_FASTCALL,
     "codes_and_bound(values, bound, codes, implausible_codes) -> (velocity, excluded, implausible)\n--\n\n"
     "The values as float32, and the gates not finite as float32, beyond `bound` in magnitude or equal to one "
     "of `codes` (compared as float64); the count of those beyond it or equal to one of the first "
     "`implausible_codes`."},
    {"unfold", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&unfold)), METH_FASTCALL,
     "unfold(velocity, folds, excluded, span) -> dealiased\n--\n\n"
     "velocity + folds * span in float64, as float32; NaN where excluded."},
    {"sampled_noise", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&sampled_noise)), METH_FASTCALL,
     "sampled_noise(velocity, excluded, span, limit, wrap, step) -> (noisy, valid)\n--\n\n"
     "Noisy and valid gates of every step-th ray, each judged against all its neighbours."},
    {"neighbour_jumps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&guarded_neighbour_jumps)),
     METH_FASTCALL,
     "neighbour_jumps(velocity, folds, excluded, span, nyquist, wrap) -> (along jumps, along pairs, across jumps, "
     "across pairs, wrap jumps, wrap pairs)\n--\n\n"
     "Pairs of neighbouring gates of the dealiased sweep (velocity + folds * span in float64, as float32; NaN "
     "where excluded) whose difference, in float64, is finite (pairs) and beyond nyquist (jumps): along rays, "
     "across rays, and between the last and the first ray when wrap and there are more than two rays."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vornak::anchor_module
