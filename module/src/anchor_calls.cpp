// Each function: positional arguments only, checked (shapes, kinds, indices
// inside the arrays they index) before a kernel reads any memory; every
// failure a Python exception, no C++ exception past `guarded`.
#include "anchor_calls.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

#include "anchor_arrays.hpp"
#include "kernel_guard.hpp"
#include "vornak/anchor_agreement.hpp"
#include "vornak/anchor_blocks.hpp"
#include "vornak/anchor_components.hpp"
#include "vornak/anchor_nearby.hpp"
#include "vornak/anchor_reference.hpp"
#include "vornak/anchor_rings.hpp"
#include "vornak/anchor_vad.hpp"

namespace vornak::anchor_module {

namespace {

using I64 = std::int64_t;
template <class T>
using Span = std::span<const T>;

State& state_of(PyObject* module) { return *static_cast<State*>(PyModule_GetState(module)); }

bool count_is(const char* function, Py_ssize_t nargs, Py_ssize_t wanted) {
  if (nargs == wanted) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given", function, wanted, nargs);
  return false;
}

bool fail_value(const char* text) {
  PyErr_SetString(PyExc_ValueError, text);
  return false;
}

bool to_double(PyObject* obj, double& value) {
  value = PyFloat_AsDouble(obj);
  return !(value == -1.0 && PyErr_Occurred());
}

bool to_int64(PyObject* obj, I64& value) {
  value = PyLong_AsLongLong(obj);
  return !(value == -1 && PyErr_Occurred());
}

bool to_bool(PyObject* obj, bool& value) {
  const int truth = PyObject_IsTrue(obj);
  value = truth == 1;
  return truth >= 0;
}

// Every index below `bound` (and not negative).
bool indices_below(Span<I64> index, std::size_t bound, const char* text) {
  bool bad = false;  // no early exit: the compiler vectorises the pass
  for (const I64 i : index) bad |= static_cast<std::uint64_t>(i) >= bound;  // negative: huge
  return !bad || fail_value(text);
}

bool same_length(std::size_t a, std::size_t b, const char* text) { return a == b || fail_value(text); }

// The valid gates (ray, gate) of a sweep of rays x gates, in ray-major order.
// One pass without early exit: every kernel call checks the vectors it
// indexes with.
bool echo_gates_ok(const View& ray, const View& gate, std::size_t rays, std::size_t gates) {
  if (!same_length(ray.size(), gate.size(), "vornak: anchoring needs as many rays as gates of valid gates")) {
    return false;
  }
  const auto r = ray.span<const I64>();
  const auto g = gate.span<const I64>();
  if (r.empty()) return true;
  // Negative indices compare as huge ones. Inside the sweep, ray-major
  // order is the flat positions rising; a position made from an index
  // outside may wrap, but that index alone makes the check fail. Bitwise
  // operators, no early exit: three comparisons a gate, no branch.
  using U64 = std::uint64_t;
  const U64 across = gates;
  bool bad = static_cast<U64>(r[0]) >= rays || static_cast<U64>(g[0]) >= gates;
  U64 previous = static_cast<U64>(r[0]) * across + static_cast<U64>(g[0]);
  for (std::size_t i = 1; i < r.size(); ++i) {
    const auto ray_i = static_cast<U64>(r[i]), gate_i = static_cast<U64>(g[i]);
    const U64 at = ray_i * across + gate_i;
    bad |= (ray_i >= rays) | (gate_i >= gates) | (at <= previous);
    previous = at;
  }
  return !bad || fail_value("vornak: the valid gates must lie inside the sweep, in ray-major order");
}

// The object a weak reference refers to, null where it is gone; borrowed,
// for comparing identities only.
PyObject* referent(PyObject* weak) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* obj = nullptr;
  if (PyWeakref_GetRef(weak, &obj) != 1) return nullptr;
  Py_DECREF(obj);
  return obj;
#else
  PyObject* obj = PyWeakref_GetObject(weak);
  return obj == Py_None ? nullptr : obj;
#endif
}

// Whether (ray, gate) are gate vectors this module made and so known to lie
// within `rays` x `gates`, in ray-major order.
bool known_gates(const State& state, PyObject* ray, PyObject* gate, std::size_t rays, std::size_t gates) noexcept {
  for (const CheckedGates& c : state.checked) {
    if (c.ray != nullptr && referent(c.ray) == ray && referent(c.gate) == gate && rays >= c.rays &&
        gates >= c.gates) {
      return true;
    }
  }
  return false;
}

// Remembers gate vectors (ray, gate) made by fixed_int64 (read-only for
// good) inside `rays` x `gates`, in place of the oldest remembered.
bool remember_gates(State& state, PyObject* ray, PyObject* gate, std::size_t rays, std::size_t gates) {
  Ref weak_ray(PyWeakref_NewRef(ray, nullptr));
  Ref weak_gate(weak_ray ? PyWeakref_NewRef(gate, nullptr) : nullptr);
  if (!weak_gate) return false;
  CheckedGates& c = state.checked[state.next_checked];
  state.next_checked = (state.next_checked + 1) % std::size(state.checked);
  Py_XSETREF(c.ray, weak_ray.release());
  Py_XSETREF(c.gate, weak_gate.release());
  c.rays = rays;
  c.gates = gates;
  return true;
}

// echo_gates_ok of the arrays `ray_obj`, `gate_obj` (viewed as `ray`,
// `gate`), without the pass where this module made them.
bool echo_gates_ok(const State& state, PyObject* ray_obj, PyObject* gate_obj, const View& ray, const View& gate,
                   std::size_t rays, std::size_t gates) {
  return known_gates(state, ray_obj, gate_obj, rays, gates) || echo_gates_ok(ray, gate, rays, gates);
}

template <class F>
auto with_velocity_and_folds(const View& velocity, const View& folds, F&& f) {
  const bool single = velocity.kind() == Kind::float32;
  const bool narrow = folds.kind() == Kind::int32;
  if (single && narrow) return f(velocity.span<const float>().data(), folds.span<const std::int32_t>().data());
  if (single) return f(velocity.span<const float>().data(), folds.span<const I64>().data());
  if (narrow) return f(velocity.span<const double>().data(), folds.span<const std::int32_t>().data());
  return f(velocity.span<const double>().data(), folds.span<const I64>().data());
}

bool sweep_arrays(PyObject* const* args, View& excluded, View& velocity, View& folds) {
  if (!excluded.take(args[0], "excluded", {Kind::boolean}, 2) ||
      !velocity.take(args[1], "velocity", {Kind::float32, Kind::float64}, 2) ||
      !folds.take(args[2], "folds", {Kind::int32, Kind::int64}, 2)) {
    return false;
  }
  return (velocity.extent(0) == excluded.extent(0) && velocity.extent(1) == excluded.extent(1) &&
          folds.extent(0) == excluded.extent(0) && folds.extent(1) == excluded.extent(1)) ||
         fail_value("vornak: the sweep's excluded, velocity and folds must have the same shape");
}

// The valid-gate number of each flat position (-1 elsewhere and at the
// end, `out` holding one more than the sweep's cells), from the flat
// positions of the valid gates, each inside.
void number_positions(std::span<const I64> flat, std::span<std::int32_t> out) {
  std::fill(out.begin(), out.end(), -1);
  for (std::size_t i = 0; i < flat.size(); ++i) out[static_cast<std::size_t>(flat[i])] = static_cast<std::int32_t>(i);
}

// (ray, gate, reach, (flat, folds, dealiased, where)) of the blocks with
// echo of a sweep up to its `reach`, as blocks, gates and positions make
// them, without the block grids: most sweeps of a volume need only these.
Ref blocks_with_echo(State& state, const View& velocity, const View& folds, anchor::Grid<const std::uint8_t> mask,
                     std::size_t reach, double span) {
  const std::size_t br = (mask.rays + 1) / 2, bg = (reach + 1) / 2;
  std::vector<std::uint8_t> choice(br * bg);
  const std::size_t count = anchor::block_choices(mask, reach, {choice, br, bg});
  std::span<I64> ray_fill, gate_fill;
  Ref ray = fixed_int64(state, count, ray_fill);
  Ref gate = ray ? fixed_int64(state, count, gate_fill) : nullptr;
  Ref reach_obj(gate ? PyLong_FromSize_t(reach) : nullptr);
  const auto n = static_cast<Py_ssize_t>(count);
  View flat_view, folds_view, dealiased_view, where_view;
  Ref flat = reach_obj ? new_array(state, {n}, Kind::int64, flat_view) : nullptr;
  Ref gate_folds = flat ? new_array(state, {n}, Kind::int32, folds_view) : nullptr;
  Ref dealiased = gate_folds ? new_array(state, {n}, Kind::float32, dealiased_view) : nullptr;
  Ref where = dealiased ? new_array(state, {static_cast<Py_ssize_t>(br * bg + 1)}, Kind::int32, where_view) : nullptr;
  if (!where) return Ref(nullptr);
  with_velocity_and_folds(velocity, folds, [&](const auto* vel, const auto* fold) {
    anchor::block_gate_values({choice, br, bg}, vel, fold, mask.gates, span, ray_fill, gate_fill, flat_view.span<I64>(),
                              folds_view.span<std::int32_t>(), dealiased_view.span<float>(),
                              where_view.span<std::int32_t>());
  });
  if (!remember_gates(state, ray.get(), gate.get(), br, bg)) return Ref(nullptr);
  Ref values = tuple_of({flat.get(), gate_folds.get(), dealiased.get(), where.get()});
  if (!values) return Ref(nullptr);
  return tuple_of({ray.get(), gate.get(), reach_obj.get(), values.get()});
}

// blocks(excluded, velocity, folds) -> (velocity, folds, empty, ray, gate, reach)
// blocks(excluded, velocity, folds, span) -> (ray, gate, reach, (flat, folds, dealiased, where))
PyObject* blocks(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4 && !count_is("blocks", nargs, 3)) return nullptr;
  View excluded, velocity, folds;
  double span = 0.0;
  if (!sweep_arrays(args, excluded, velocity, folds) || (nargs == 4 && !to_double(args[3], span))) return nullptr;
  const std::size_t rays = excluded.extent(0), gates = excluded.extent(1);
  const anchor::Grid<const std::uint8_t> mask{excluded.span<const std::uint8_t>(), rays, gates};
  const std::size_t reach = anchor::echo_reach(mask);
  State& state = state_of(module);
  if (nargs == 4) return blocks_with_echo(state, velocity, folds, mask, reach, span).release();
  const auto block_rays = static_cast<Py_ssize_t>((rays + 1) / 2);
  const auto block_gates = static_cast<Py_ssize_t>((reach + 1) / 2);
  View v, f, e;
  Ref out_velocity = new_array(state, {block_rays, block_gates}, Kind::float32, v);
  Ref out_folds = out_velocity ? new_array(state, {block_rays, block_gates}, Kind::int32, f) : nullptr;
  Ref out_empty = out_folds ? new_array(state, {block_rays, block_gates}, Kind::boolean, e) : nullptr;
  if (!out_empty) return nullptr;
  const auto br = static_cast<std::size_t>(block_rays), bg = static_cast<std::size_t>(block_gates);
  const std::size_t count = with_velocity_and_folds(velocity, folds, [&](const auto* vel, const auto* fold) {
    return anchor::make_blocks(mask, vel, fold, reach, {v.span<float>(), br, bg}, {f.span<std::int32_t>(), br, bg},
                               {e.span<std::uint8_t>(), br, bg});
  });
  // The blocks' gate vectors read-only for good, and remembered: the
  // kernels they go to next need not check them.
  std::span<I64> ray_fill, gate_fill;
  Ref ray = fixed_int64(state, count, ray_fill);
  Ref gate = ray ? fixed_int64(state, count, gate_fill) : nullptr;
  Ref reach_obj(gate ? PyLong_FromSize_t(reach) : nullptr);
  if (!reach_obj) return nullptr;
  anchor::nonempty_cells({e.span<const std::uint8_t>(), br, bg}, ray_fill, gate_fill);
  if (!remember_gates(state, ray.get(), gate.get(), br, bg)) return nullptr;
  return tuple_of({out_velocity.get(), out_folds.get(), out_empty.get(), ray.get(), gate.get(), reach_obj.get()})
      .release();
}

// echo_cells(excluded) -> (ray, gate) of the cells not excluded, ray-major
PyObject* echo_cells(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (!count_is("echo_cells", nargs, 1)) return nullptr;
  View excluded;
  if (!excluded.take(args[0], "excluded", {Kind::boolean}, 2)) return nullptr;
  const auto cells = excluded.span<const std::uint8_t>();
  const auto count = static_cast<Py_ssize_t>(std::count(cells.begin(), cells.end(), std::uint8_t{0}));
  const State& state = state_of(module);
  View r, g;
  Ref ray = new_array(state, {count}, Kind::int64, r);
  Ref gate = ray ? new_array(state, {count}, Kind::int64, g) : nullptr;
  if (!gate) return nullptr;
  anchor::nonempty_cells({cells, excluded.extent(0), excluded.extent(1)}, r.span<I64>(), g.span<I64>());
  return tuple_of({ray.get(), gate.get()}).release();
}

// gates(velocity, folds, span, ray, gate) -> (flat, folds, dealiased)
PyObject* gates(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (!count_is("gates", nargs, 5)) return nullptr;
  View velocity, folds, ray, gate;
  double span = 0.0;
  if (!velocity.take(args[0], "velocity", {Kind::float32, Kind::float64}, 2) ||
      !folds.take(args[1], "folds", {Kind::int32, Kind::int64}, 2) || !to_double(args[2], span) ||
      !ray.take(args[3], "ray", {Kind::int64}, 1) || !gate.take(args[4], "gate", {Kind::int64}, 1)) {
    return nullptr;
  }
  const std::size_t rays = velocity.extent(0), ngates = velocity.extent(1);
  if (folds.extent(0) != rays || folds.extent(1) != ngates) {
    return fail_value("vornak: the sweep's velocity and folds must have the same shape"), nullptr;
  }
  const State& state = state_of(module);
  if (!echo_gates_ok(state, args[3], args[4], ray, gate, rays, ngates)) return nullptr;
  const auto n = static_cast<Py_ssize_t>(ray.size());
  View flat_view, folds_view, dealiased_view;
  Ref flat = new_array(state, {n}, Kind::int64, flat_view);
  Ref gate_folds = flat ? new_array(state, {n}, folds.kind(), folds_view) : nullptr;
  Ref dealiased = gate_folds ? new_array(state, {n}, Kind::float32, dealiased_view) : nullptr;
  if (!dealiased) return nullptr;
  with_velocity_and_folds(velocity, folds, [&](const auto* vel, const auto* fold) {
    using Fold = std::remove_cvref_t<decltype(*fold)>;
    anchor::gate_values(vel, fold, ngates, span, ray.span<const I64>(), gate.span<const I64>(),
                        flat_view.span<I64>(), folds_view.span<Fold>(), dealiased_view.span<float>());
    return 0;
  });
  return tuple_of({flat.get(), gate_folds.get(), dealiased.get()}).release();
}

// positions(flat, size) -> int32 valid-gate number by flat position, -1 elsewhere and at `size`
PyObject* positions(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (!count_is("positions", nargs, 2)) return nullptr;
  View flat;
  I64 size = 0;
  if (!flat.take(args[0], "flat", {Kind::int64}, 1) || !to_int64(args[1], size)) return nullptr;
  if (size < 0 || !indices_below(flat.span<const I64>(), static_cast<std::size_t>(size),
                                 "vornak: a flat position lies outside the sweep")) {
    if (!PyErr_Occurred()) fail_value("vornak: a sweep's size cannot be negative");
    return nullptr;
  }
  View where_view;
  Ref where = new_array(state_of(module), {static_cast<Py_ssize_t>(size + 1)}, Kind::int32, where_view);
  if (!where) return nullptr;
  number_positions(flat.span<const I64>(), where_view.span<std::int32_t>());
  return where.release();
}

// components(ray, gate, dealiased, rays, gates, wrap, gap, limit) -> (number, count)
PyObject* components(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (!count_is("components", nargs, 8)) return nullptr;
  View ray, gate, velocity;
  I64 rays = 0, ngates = 0, gap = 0;
  bool wrap = false;
  double limit = 0.0;
  if (!ray.take(args[0], "ray", {Kind::int64}, 1) || !gate.take(args[1], "gate", {Kind::int64}, 1) ||
      !velocity.take(args[2], "dealiased", {Kind::float32}, 1) || !to_int64(args[3], rays) ||
      !to_int64(args[4], ngates) || !to_bool(args[5], wrap) || !to_int64(args[6], gap) ||
      !to_double(args[7], limit)) {
    return nullptr;
  }
  if (rays < 0 || ngates < 0 || gap < 0) return fail_value("vornak: sizes and the gap cannot be negative"), nullptr;
  if (!echo_gates_ok(state_of(module), args[0], args[1], ray, gate, static_cast<std::size_t>(rays),
                     static_cast<std::size_t>(ngates)) ||
      !same_length(velocity.size(), ray.size(), "vornak: one dealiased velocity per valid gate is needed")) {
    return nullptr;
  }
  View number_view;
  Ref number = new_array(state_of(module), {static_cast<Py_ssize_t>(ray.size())}, Kind::int64, number_view);
  if (!number) return nullptr;
  const anchor::EchoGates echo{ray.span<const I64>(), gate.span<const I64>(), velocity.span<const float>(),
                               static_cast<std::size_t>(rays), static_cast<std::size_t>(ngates)};
  // The velocities are float32 and so is the comparison, as NumPy makes it.
  const std::size_t count =
      anchor::echo_components(echo, wrap, gap, static_cast<float>(limit), number_view.span<I64>());
  Ref count_obj(PyLong_FromSize_t(count));
  if (!count_obj) return nullptr;
  return tuple_of({number.get(), count_obj.get()}).release();
}

// One neighbour: (azimuth sorted, ray order, spacing, ground, gate step, gates, where, current, cos_el).
struct NeighbourArgs {
  View azimuth, order, ground, where, current;
  double spacing = 0.0, gate_step = 0.0, cos_el = 1.0;
  I64 gates = 0;
};

bool neighbour_args(PyObject* item, NeighbourArgs& n) {
  if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 9) {
    PyErr_SetString(PyExc_TypeError, "vornak: a neighbouring sweep is a tuple of 9 items");
    return false;
  }
  PyObject* a[9];
  for (Py_ssize_t i = 0; i < 9; ++i) a[i] = PyTuple_GET_ITEM(item, i);
  if (!n.azimuth.take(a[0], "azimuth", {Kind::float64}, 1) || !n.order.take(a[1], "ray_order", {Kind::int64}, 1) ||
      !to_double(a[2], n.spacing) || !n.ground.take(a[3], "ground", {Kind::float64}, 1) ||
      !to_double(a[4], n.gate_step) || !to_int64(a[5], n.gates) ||
      !n.where.take(a[6], "where", {Kind::int32}, 1) || !n.current.take(a[7], "current", {Kind::float32}, 1) ||
      !to_double(a[8], n.cos_el)) {
    return false;
  }
  if (n.gates <= 0 || n.ground.size() > static_cast<std::size_t>(n.gates) ||
      n.where.size() == 0 || (n.where.size() - 1) % static_cast<std::size_t>(n.gates) != 0 ||
      n.order.size() != n.azimuth.size()) {
    return fail_value("vornak: a neighbouring sweep's geometry and gate map do not fit together");
  }
  return indices_below(n.order.span<const I64>(), (n.where.size() - 1) / static_cast<std::size_t>(n.gates),
                       "vornak: a neighbouring sweep's ray order lies outside it");
}

// Python's max of two floats: the first unless the second is greater.
double python_max(double a, double b) { return b > a ? b : a; }

// colocated(ray, gate, azimuth, ground, spacing, cos_el, limit, neighbours) -> float32 reference
PyObject* colocated(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (!count_is("colocated", nargs, 8)) return nullptr;
  View ray, gate, azimuth, ground;
  double spacing = 0.0, cos_el = 1.0, limit = 0.0;
  if (!ray.take(args[0], "ray", {Kind::int64}, 1) || !gate.take(args[1], "gate", {Kind::int64}, 1) ||
      !azimuth.take(args[2], "azimuth", {Kind::float64}, 1) || !ground.take(args[3], "ground", {Kind::float64}, 1) ||
      !to_double(args[4], spacing) || !to_double(args[5], cos_el) || !to_double(args[6], limit)) {
    return nullptr;
  }
  PyObject* others = args[7];
  if (!PyTuple_Check(others) || PyTuple_GET_SIZE(others) < 1 || PyTuple_GET_SIZE(others) > 2) {
    PyErr_SetString(PyExc_TypeError, "vornak: a sweep is compared with one or two neighbouring sweeps");
    return nullptr;
  }
  if (!echo_gates_ok(state_of(module), args[0], args[1], ray, gate, azimuth.size(), ground.size())) return nullptr;
  const std::size_t count = static_cast<std::size_t>(PyTuple_GET_SIZE(others));
  NeighbourArgs given[2];
  std::vector<I64> ray_at[2], gate_at[2];
  std::vector<anchor::Neighbour> neighbours;
  const double period = 360.0;
  for (std::size_t k = 0; k < count; ++k) {
    NeighbourArgs& n = given[k];
    if (!neighbour_args(PyTuple_GET_ITEM(others, static_cast<Py_ssize_t>(k)), n)) return nullptr;
    ray_at[k] = anchor::nearest_sorted(n.azimuth.span<const double>(), azimuth.span<const double>(),
                                       0.75 * python_max(n.spacing, spacing), &period);
    const auto order = n.order.span<const I64>();
    for (I64& r : ray_at[k]) r = r >= 0 ? order[static_cast<std::size_t>(r)] : -1;
    gate_at[k] = anchor::nearest_sorted(n.ground.span<const double>(), ground.span<const double>(),
                                        0.75 * python_max(n.gate_step, 1.0), nullptr);
    neighbours.push_back({ray_at[k], gate_at[k], n.where.span<const std::int32_t>(), n.current.span<const float>(),
                          static_cast<std::size_t>(n.gates), static_cast<float>(cos_el / n.cos_el)});
  }
  View out;
  Ref reference = new_array(state_of(module), {static_cast<Py_ssize_t>(ray.size())}, Kind::float32, out);
  if (!reference) return nullptr;
  anchor::colocated(neighbours, ray.span<const I64>(), gate.span<const I64>(), static_cast<float>(limit),
                    out.span<float>());
  return reference.release();
}

// median_gap(values, period or None) -> median difference of successive values
PyObject* median_gap(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!count_is("median_gap", nargs, 2)) return nullptr;
  View values;
  double period = 0.0;
  if (!values.take(args[0], "values", {Kind::float64}, 1)) return nullptr;
  if (args[1] != Py_None && !to_double(args[1], period)) return nullptr;
  if (values.size() < (args[1] == Py_None ? 2u : 1u)) {
    return fail_value("vornak: a spacing needs at least two values"), nullptr;
  }
  return PyFloat_FromDouble(anchor::median_gap(values.span<const double>(), args[1] == Py_None ? nullptr : &period));
}

// along_rays(east, north, sin_az, cos_az, ray, gate) -> float64 reference
PyObject* along_rays(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (!count_is("along_rays", nargs, 6)) return nullptr;
  View east, north, sin_az, cos_az, ray, gate;
  if (!east.take(args[0], "east", {Kind::float64}, 1) || !north.take(args[1], "north", {Kind::float64}, 1) ||
      !sin_az.take(args[2], "sin_az", {Kind::float64}, 1) || !cos_az.take(args[3], "cos_az", {Kind::float64}, 1) ||
      !ray.take(args[4], "ray", {Kind::int64}, 1) || !gate.take(args[5], "gate", {Kind::int64}, 1)) {
    return nullptr;
  }
  if (!same_length(east.size(), north.size(), "vornak: the wind's east and north parts differ in length") ||
      !same_length(sin_az.size(), cos_az.size(), "vornak: the rays' sines and cosines differ in length") ||
      !echo_gates_ok(state_of(module), args[4], args[5], ray, gate, sin_az.size(), east.size())) {
    return nullptr;
  }
  View out;
  Ref reference = new_array(state_of(module), {static_cast<Py_ssize_t>(ray.size())}, Kind::float64, out);
  if (!reference) return nullptr;
  anchor::along_rays(east.span<const double>(), north.span<const double>(), sin_az.span<const double>(),
                     cos_az.span<const double>(), ray.span<const I64>(), gate.span<const I64>(), out.span<double>());
  return reference.release();
}

bool rule_args(PyObject* const* args, anchor::Consensus& rule) {
  if (!to_int64(args[0], rule.min_gates) || !to_double(args[1], rule.min_agreement) ||
      !to_int64(args[2], rule.max_shift)) {
    return false;
  }
  return (rule.max_shift >= 0 && rule.max_shift < 1000) ||
         fail_value("vornak: the largest shift must be between 0 and 999 folds");
}

// agreement(reference, dealiased, span, min_gates, min_agreement, max_shift, min_covered, components)
//   -> (shift per gate, sweep shift, components moved, gates compared)
// `components` is called, for (number, count), only where enough gates
// that ask for another shift than the sweep's come in pairs.
PyObject* agreement(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (!count_is("agreement", nargs, 8)) return nullptr;
  View reference, dealiased;
  double span = 0.0, min_covered = 0.0;
  anchor::Consensus rule;
  if (!reference.take(args[0], "reference", {Kind::float32, Kind::float64}, 1) ||
      !dealiased.take(args[1], "dealiased", {Kind::float32}, 1) || !to_double(args[2], span) ||
      !rule_args(args + 3, rule) || !to_double(args[6], min_covered)) {
    return nullptr;
  }
  if (!same_length(reference.size(), dealiased.size(), "vornak: one reference value per valid gate is needed")) {
    return nullptr;
  }
  const anchor::Wanted wanted =
      reference.kind() == Kind::float32
          ? anchor::wanted_folds(reference.span<const float>(), dealiased.span<const float>(), span, rule.max_shift)
          : anchor::wanted_folds(reference.span<const double>(), dealiased.span<const float>(), span, rule.max_shift);
  const std::size_t n = dealiased.size();
  const State& state = state_of(module);
  View out;
  Ref shift = new_array(state, {static_cast<Py_ssize_t>(n)}, Kind::int64, out);
  if (!shift) return nullptr;
  const auto per_gate = out.span<I64>();
  if (wanted.compared == 0) {
    std::fill(per_gate.begin(), per_gate.end(), 0);
    Ref zero(PyLong_FromLong(0));
    return zero ? tuple_of({shift.get(), zero.get(), zero.get(), zero.get()}).release() : nullptr;
  }
  const I64 whole = anchor::sweep_shift(wanted, rule);
  std::fill(per_gate.begin(), per_gate.end(), whole);
  Py_ssize_t moved = 0;
  const double pairs = static_cast<double>(anchor::paired_dissent(wanted, whole));
  if (pairs >= rule.min_agreement * static_cast<double>(rule.min_gates)) {
    Ref labelled(PyObject_CallNoArgs(args[7]));
    if (!labelled) return nullptr;
    PyObject* number_obj = nullptr;
    PyObject* count_obj = nullptr;
    if (!PyArg_ParseTuple(labelled.get(), "OO;vornak: components are (number, count)", &number_obj, &count_obj)) {
      return nullptr;
    }
    View component;
    I64 count = 0;
    if (!component.take(number_obj, "component", {Kind::int64}, 1) || !to_int64(count_obj, count)) return nullptr;
    const auto number = component.span<const I64>();
    if (count < 0 || number.size() != n ||
        !indices_below(number, static_cast<std::size_t>(count), "vornak: a component number lies outside the count")) {
      if (!PyErr_Occurred()) fail_value("vornak: one component number per valid gate is needed");
      return nullptr;
    }
    const std::vector<I64> own =
        anchor::component_shifts(wanted, whole, number, static_cast<std::size_t>(count), rule, min_covered);
    for (std::size_t i = 0; i < n; ++i) per_gate[i] += own[static_cast<std::size_t>(number[i])];
    moved = std::count_if(own.begin(), own.end(), [](I64 s) { return s != 0; });
  }
  Ref whole_obj(PyLong_FromLongLong(whole));
  Ref moved_obj(PyLong_FromSsize_t(moved));
  Ref compared_obj(PyLong_FromLongLong(wanted.compared));
  if (!whole_obj || !moved_obj || !compared_obj) return nullptr;
  return tuple_of({shift.get(), whole_obj.get(), moved_obj.get(), compared_obj.get()}).release();
}

// consensus(wanted, min_gates, min_agreement, max_shift) -> shift
PyObject* consensus(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!count_is("consensus", nargs, 4)) return nullptr;
  View wanted;
  anchor::Consensus rule;
  if (!wanted.take(args[0], "wanted", {Kind::int64}, 1) || !rule_args(args + 1, rule)) return nullptr;
  return PyLong_FromLongLong(anchor::consensus(wanted.span<const I64>(), rule));
}

// One sweep's rings: (ray, gate, dealiased, sector, cos_az, sin_az, nrings, tolerance, fitted before or None).
struct SweepRings {
  View ray, gate, velocity, sector, cos_az, sin_az, fitted_before;
  I64 nrings = 0;
  double tolerance = 0.0;
  bool again = false;
};

bool sweep_rings(const State& state, PyObject* item, I64 step, SweepRings& s) {
  if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 9) {
    PyErr_SetString(PyExc_TypeError, "vornak: a sweep's rings are a tuple of 9 items");
    return false;
  }
  PyObject* a[9];
  for (Py_ssize_t i = 0; i < 9; ++i) a[i] = PyTuple_GET_ITEM(item, i);
  if (!s.ray.take(a[0], "ray", {Kind::int64}, 1) || !s.gate.take(a[1], "gate", {Kind::int64}, 1) ||
      !s.velocity.take(a[2], "dealiased", {Kind::float32}, 1) || !s.sector.take(a[3], "sector", {Kind::int64}, 1) ||
      !s.cos_az.take(a[4], "cos_az", {Kind::float64}, 1) || !s.sin_az.take(a[5], "sin_az", {Kind::float64}, 1) ||
      !to_int64(a[6], s.nrings) || !to_double(a[7], s.tolerance)) {
    return false;
  }
  s.again = a[8] != Py_None;
  if (s.again && !s.fitted_before.take(a[8], "fitted", {Kind::boolean}, 1)) return false;
  if (s.nrings < 0 || (s.again && s.fitted_before.size() != static_cast<std::size_t>(s.nrings))) {
    return fail_value("vornak: a previous fit needs one flag per ring");
  }
  const std::size_t rays = s.sector.size();
  return same_length(s.cos_az.size(), rays, "vornak: one sector, cosine and sine per ray is needed") &&
         same_length(s.sin_az.size(), rays, "vornak: one sector, cosine and sine per ray is needed") &&
         indices_below(s.sector.span<const I64>(), 8, "vornak: an azimuth sector lies outside 0 to 7") &&
         echo_gates_ok(state, a[0], a[1], s.ray, s.gate, rays, static_cast<std::size_t>(s.nrings * step)) &&
         same_length(s.velocity.size(), s.ray.size(), "vornak: one dealiased velocity per valid gate is needed");
}

// Normal matrices and right-hand sides as new (rings, 3, 3) and (rings, 3) float64 arrays.
PyObject* normal_equations(const State& state, const std::vector<double>& normal, const std::vector<double>& rhs) {
  const auto nrings = static_cast<Py_ssize_t>(rhs.size() / 3);
  View normal_view, rhs_view;
  Ref normal_array = new_array(state, {nrings, 3, 3}, Kind::float64, normal_view);
  Ref rhs_array = normal_array ? new_array(state, {nrings, 3}, Kind::float64, rhs_view) : nullptr;
  if (!rhs_array) return nullptr;
  std::copy(normal.begin(), normal.end(), normal_view.span<double>().begin());
  std::copy(rhs.begin(), rhs.end(), rhs_view.span<double>().begin());
  return tuple_of({normal_array.get(), rhs_array.get()}).release();
}

// ring_sums(sweeps, step, min_gates, min_sectors, previous or None)
//   -> (normal (fitted, 3, 3), rhs (fitted, 3), fitted flags per ring of each sweep)
PyObject* ring_sums(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (!count_is("ring_sums", nargs, 5)) return nullptr;
  I64 step = 0, min_gates = 0, min_sectors = 0;
  View previous;
  PyObject* sweeps = args[0];
  if (!PyTuple_Check(sweeps)) {
    PyErr_SetString(PyExc_TypeError, "vornak: the rings of the sweeps are a tuple");
    return nullptr;
  }
  if (!to_int64(args[1], step) || !to_int64(args[2], min_gates) || !to_int64(args[3], min_sectors)) return nullptr;
  if (step <= 0) return fail_value("vornak: the ring step must be positive"), nullptr;
  if (args[4] != Py_None && !previous.take(args[4], "previous", {Kind::float64}, 2)) return nullptr;
  const State& state = state_of(module);
  const Py_ssize_t count = PyTuple_GET_SIZE(sweeps);
  Ref fitted(PyTuple_New(count));
  if (!fitted) return nullptr;
  std::vector<double> normal, rhs;
  std::size_t rows_before = 0;
  for (Py_ssize_t k = 0; k < count; ++k) {
    SweepRings s;
    if (!sweep_rings(state, PyTuple_GET_ITEM(sweeps, k), step, s)) return nullptr;
    if (s.again != (args[4] != Py_None)) {
      return fail_value("vornak: a previous fit needs the rings it fitted, for every sweep"), nullptr;
    }
    anchor::RingRule rule{min_gates, min_sectors, {}, {}, s.tolerance};
    if (s.again) {
      const auto before = s.fitted_before.span<const std::uint8_t>();
      const auto rows = static_cast<std::size_t>(std::count_if(before.begin(), before.end(),
                                                               [](std::uint8_t f) { return f != 0; }));
      if (previous.extent(1) != 3 || rows_before + rows > previous.extent(0)) {
        return fail_value("vornak: the previous fit needs 3 coefficients per ring fitted"), nullptr;
      }
      rule.fitted_before = before;
      rule.previous = previous.span<const double>().subspan(3 * rows_before, 3 * rows);
      rows_before += rows;
    }
    View flags_view;
    Ref flags = new_array(state, {static_cast<Py_ssize_t>(s.nrings)}, Kind::boolean, flags_view);
    if (!flags) return nullptr;
    const anchor::RingGates gates{s.ray.span<const I64>(),    s.gate.span<const I64>(),
                                  s.velocity.span<const float>(), s.sector.span<const I64>(),
                                  s.cos_az.span<const double>(), s.sin_az.span<const double>(), step};
    anchor::ring_sums(gates, rule, flags_view.span<std::uint8_t>(), normal, rhs);
    PyTuple_SET_ITEM(fitted.get(), k, flags.release());
  }
  Ref sums(normal_equations(state, normal, rhs));
  if (!sums) return nullptr;
  return tuple_of({PyTuple_GET_ITEM(sums.get(), 0), PyTuple_GET_ITEM(sums.get(), 1), fitted.get()}).release();
}

// unblock(excluded, folds, ray, gate, shift, out) -> gates changed; `out` (int32, the sweep's shape)
// gets the fold counts with the shift of each block added to its gates with echo
PyObject* unblock(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (!count_is("unblock", nargs, 6)) return nullptr;
  View excluded, folds, ray, gate, shift, out;
  if (!excluded.take(args[0], "excluded", {Kind::boolean}, 2) ||
      !folds.take(args[1], "folds", {Kind::int32, Kind::int64}, 2) || !ray.take(args[2], "ray", {Kind::int64}, 1) ||
      !gate.take(args[3], "gate", {Kind::int64}, 1) || !shift.take(args[4], "shift", {Kind::int64}, 1)) {
    return nullptr;
  }
  const std::size_t rays = excluded.extent(0), ngates = excluded.extent(1);
  if (folds.extent(0) != rays || folds.extent(1) != ngates) {
    return fail_value("vornak: the sweep's excluded and folds must have the same shape"), nullptr;
  }
  if (!echo_gates_ok(state_of(module), args[2], args[3], ray, gate, (rays + 1) / 2, (ngates + 1) / 2) ||
      !same_length(shift.size(), ray.size(), "vornak: one shift per valid block is needed")) {
    return nullptr;
  }
  if (!out.take(args[5], "out", {Kind::int32}, 2, true)) return nullptr;
  if (out.extent(0) != rays || out.extent(1) != ngates) {
    return fail_value("vornak: the fold counts out must have the sweep's shape"), nullptr;
  }
  const anchor::Grid<const std::uint8_t> mask{excluded.span<const std::uint8_t>(), rays, ngates};
  const std::size_t changed =
      folds.kind() == Kind::int32
          ? anchor::unblock(folds.span<const std::int32_t>().data(), mask, ray.span<const I64>(),
                            gate.span<const I64>(), shift.span<const I64>(), out.span<std::int32_t>())
          : anchor::unblock(folds.span<const I64>().data(), mask, ray.span<const I64>(), gate.span<const I64>(),
                            shift.span<const I64>(), out.span<std::int32_t>());
  return PyLong_FromSize_t(changed);
}

// The rule of nearby_areas: (large_gates, small_gates, reach_rays, reach_gates, min_pairs, min_agreement,
// surround, close, min_close, max_shift).
bool nearby_rule(PyObject* obj, anchor::NearbyRule& rule) {
  if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != 10) {
    PyErr_SetString(PyExc_TypeError, "vornak: the nearby echo rule is a tuple of 10 numbers");
    return false;
  }
  PyObject* const* a = &PyTuple_GET_ITEM(obj, 0);
  if (!to_int64(a[0], rule.large_gates) || !to_int64(a[1], rule.small_gates) || !to_int64(a[2], rule.reach_rays) ||
      !to_int64(a[3], rule.reach_gates) || !to_int64(a[4], rule.min_pairs) || !to_double(a[5], rule.min_agreement) ||
      !to_int64(a[6], rule.surround) || !to_double(a[7], rule.close) || !to_double(a[8], rule.min_close) ||
      !to_int64(a[9], rule.max_shift)) {
    return false;
  }
  return (rule.reach_rays >= 0 && rule.reach_gates >= 0 && rule.max_shift >= 0 && rule.max_shift < 1000) ||
         fail_value("vornak: the nearby echo's reach and largest shift cannot be negative (shift below 1000)");
}

// The rings of a VAD fit or the centring check: (sector, cos_az, sin_az, step, min_gates, min_sectors), one entry per ray.
bool centring_rings(PyObject* obj, std::size_t rays, View& sector, View& cos_az, View& sin_az,
                    anchor::RingCells& rings) {
  if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != 6) {
    PyErr_SetString(PyExc_TypeError, "vornak: the rings of a sweep are a tuple of 6 items");
    return false;
  }
  PyObject* const* a = &PyTuple_GET_ITEM(obj, 0);
  if (!sector.take(a[0], "sector", {Kind::int64}, 1) || !cos_az.take(a[1], "cos_az", {Kind::float64}, 1) ||
      !sin_az.take(a[2], "sin_az", {Kind::float64}, 1) || !to_int64(a[3], rings.step) ||
      !to_int64(a[4], rings.min_gates) || !to_int64(a[5], rings.min_sectors)) {
    return false;
  }
  if (rings.step <= 0) return fail_value("vornak: the ring step must be positive");
  if (!same_length(sector.size(), rays, "vornak: one sector, cosine and sine per ray is needed") ||
      !same_length(cos_az.size(), rays, "vornak: one sector, cosine and sine per ray is needed") ||
      !same_length(sin_az.size(), rays, "vornak: one sector, cosine and sine per ray is needed") ||
      !indices_below(sector.span<const I64>(), 8, "vornak: an azimuth sector lies outside 0 to 7")) {
    return false;
  }
  rings.sector = sector.span<const I64>();
  rings.cos_az = cos_az.span<const double>();
  rings.sin_az = sin_az.span<const double>();
  return true;
}

// A vector as a new 1-d int64 array.
Ref int64_array(const State& state, const std::vector<I64>& values) {
  View view;
  Ref array = new_array(state, {static_cast<Py_ssize_t>(values.size())}, Kind::int64, view);
  if (array) std::copy(values.begin(), values.end(), view.span<I64>().begin());
  return array;
}

// nearby_areas(excluded, velocity, folds, span, wrap, gap, limit, rule, rings[, min_rings])
//   -> None where nothing moves, else (at, area, shift, normal (rings, 3, 3), rhs (rings, 3));
// with `min_rings`, None at once where fewer rings are fitted (the centring check would fail)
PyObject* nearby_areas(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 10 && !count_is("nearby_areas", nargs, 9)) return nullptr;
  View excluded, velocity, folds, sector, cos_az, sin_az;
  double span = 0.0, limit = 0.0;
  anchor::Joining joining;
  anchor::NearbyRule rule;
  anchor::RingCells rings;
  if (!sweep_arrays(args, excluded, velocity, folds) || !to_double(args[3], span) ||
      !to_bool(args[4], joining.wrap) || !to_int64(args[5], joining.gap) || !to_double(args[6], limit) ||
      !nearby_rule(args[7], rule) || !centring_rings(args[8], excluded.extent(0), sector, cos_az, sin_az, rings) ||
      (nargs == 10 && !to_int64(args[9], rule.min_rings))) {
    return nullptr;
  }
  if (joining.gap < 0) return fail_value("vornak: the gap cannot be negative"), nullptr;
  const std::size_t rays = excluded.extent(0), ngates = excluded.extent(1);
  if (rays * ngates >= (std::size_t{1} << 31)) {
    return fail_value("vornak: a sweep of 2^31 gates or more is too large to anchor"), nullptr;
  }
  // The velocities are float32 and so is the comparison, as NumPy makes it.
  joining.limit = static_cast<float>(limit);
  const anchor::Grid<const std::uint8_t> mask{excluded.span<const std::uint8_t>(), rays, ngates};
  const anchor::NearbyAreas found = with_velocity_and_folds(velocity, folds, [&](const auto* vel, const auto* fold) {
    return anchor::nearby_areas(mask, vel, fold, span, joining, rule, rings);
  });
  if (found.shift.empty()) Py_RETURN_NONE;
  const State& state = state_of(module);
  Ref at = int64_array(state, found.at);
  Ref area = at ? int64_array(state, found.area) : nullptr;
  Ref shift = area ? int64_array(state, found.shift) : nullptr;
  if (!shift) return nullptr;
  Ref sums(normal_equations(state, found.normal, found.rhs));
  if (!sums) return nullptr;
  return tuple_of({at.get(), area.get(), shift.get(), PyTuple_GET_ITEM(sums.get(), 0), PyTuple_GET_ITEM(sums.get(), 1)})
      .release();
}

// vad_sums(excluded, velocity, folds, span, rings) -> (normal (rings, 3, 3), rhs (rings, 3)) of the fitted rings
PyObject* vad_sums(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (!count_is("vad_sums", nargs, 5)) return nullptr;
  View excluded, velocity, folds, sector, cos_az, sin_az;
  double span = 0.0;
  anchor::RingCells rings;
  if (!sweep_arrays(args, excluded, velocity, folds) || !to_double(args[3], span) ||
      !centring_rings(args[4], excluded.extent(0), sector, cos_az, sin_az, rings)) {
    return nullptr;
  }
  const anchor::Grid<const std::uint8_t> mask{excluded.span<const std::uint8_t>(), excluded.extent(0),
                                              excluded.extent(1)};
  std::vector<double> normal, rhs;
  with_velocity_and_folds(velocity, folds, [&](const auto* vel, const auto* fold) {
    anchor::vad_sums(mask, vel, fold, static_cast<float>(span), rings, normal, rhs);
    return 0;
  });
  return normal_equations(state_of(module), normal, rhs);
}

// shift_valid(excluded, folds, shift) -> (int32 folds with `shift` added where not excluded, gates changed)
PyObject* shift_valid(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (!count_is("shift_valid", nargs, 3)) return nullptr;
  View excluded, folds;
  I64 shift = 0;
  if (!excluded.take(args[0], "excluded", {Kind::boolean}, 2) ||
      !folds.take(args[1], "folds", {Kind::int32, Kind::int64}, 2) || !to_int64(args[2], shift)) {
    return nullptr;
  }
  const std::size_t rays = excluded.extent(0), ngates = excluded.extent(1);
  if (folds.extent(0) != rays || folds.extent(1) != ngates) {
    return fail_value("vornak: the sweep's excluded and folds must have the same shape"), nullptr;
  }
  if (shift < std::numeric_limits<std::int32_t>::min() || shift > std::numeric_limits<std::int32_t>::max()) return fail_value("vornak: a whole-sweep shift must fit in int32"), nullptr;
  View out_view;
  Ref out = new_array(state_of(module), {static_cast<Py_ssize_t>(rays), static_cast<Py_ssize_t>(ngates)}, Kind::int32,
                      out_view);
  if (!out) return nullptr;
  const anchor::Grid<const std::uint8_t> mask{excluded.span<const std::uint8_t>(), rays, ngates};
  const auto k = static_cast<std::int32_t>(shift);
  const std::size_t changed =
      folds.kind() == Kind::int32
          ? anchor::shift_valid(mask, folds.span<const std::int32_t>().data(), k, out_view.span<std::int32_t>())
          : anchor::shift_valid(mask, folds.span<const I64>().data(), k, out_view.span<std::int32_t>());
  Ref changed_obj(PyLong_FromSize_t(changed));
  if (!changed_obj) return nullptr;
  return tuple_of({out.get(), changed_obj.get()}).release();
}

template <PyObject* (*F)(PyObject*, PyObject* const*, Py_ssize_t)>
PyObject* entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guarded("anchoring", [&] { return F(module, args, nargs); });
}

template <PyObject* (*F)(PyObject*, PyObject* const*, Py_ssize_t)>
PyMethodDef method(const char* name, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<F>)), METH_FASTCALL, doc};
}

}  // namespace

PyMethodDef methods[] = {
    method<blocks>("blocks", "blocks(excluded, velocity, folds[, span]) -> (velocity, folds, empty, ray, gate, reach)"
                             " or, with the span, (ray, gate, reach, (flat, folds, dealiased, where))\n--\n\n"
                             "The sweep on blocks of 2 x 2 gates up to its farthest echo; with the span, only the gate "
                             "vectors of its blocks with echo (no block grids)."),
    method<echo_cells>("echo_cells", "echo_cells(excluded) -> (ray, gate)\n--\n\n"
                                     "Ray and gate of the cells not excluded, in ray-major order."),
    method<gates>("gates", "gates(velocity, folds, span, ray, gate) -> (flat, folds, dealiased)\n--\n\n"
                           "Flat position, fold count and dealiased velocity of the valid gates."),
    method<positions>("positions", "positions(flat, size) -> where\n--\n\n"
                                   "Valid-gate number by flat position, -1 elsewhere and at the end."),
    method<components>("components", "components(ray, gate, dealiased, rays, gates, wrap, gap, limit) -> "
                                     "(number, count)\n--\n\nEcho components of the valid gates."),
    method<colocated>("colocated", "colocated(ray, gate, azimuth, ground, spacing, cos_el, limit, neighbours) -> "
                                   "reference\n--\n\nVelocities of neighbouring sweeps at the valid gates."),
    method<median_gap>("median_gap", "median_gap(values, period) -> spacing\n--\n\n"
                                     "Median difference of successive values (with a period: wrapping around)."),
    method<along_rays>("along_rays", "along_rays(east, north, sin_az, cos_az, ray, gate) -> reference\n--\n\n"
                                     "Radial velocity of a wind at the valid gates."),
    method<agreement>("agreement", "agreement(reference, dealiased, span, min_gates, min_agreement, max_shift, "
                                   "min_covered, components) -> (shift, sweep_shift, moved, compared)\n--\n\n"
                                   "Shift of each valid gate: the sweep's, plus its component's own."),
    method<consensus>("consensus", "consensus(wanted, min_gates, min_agreement, max_shift) -> shift\n--\n\n"
                                   "The shift most of `wanted` ask for, where it counts."),
    method<ring_sums>("ring_sums", "ring_sums(sweeps, step, min_gates, min_sectors, previous) -> "
                                   "(normal, rhs, fitted)\n--\n\n"
                                   "Least-squares sums of the VAD fit of the fitted range rings of each sweep."),
    method<unblock>("unblock", "unblock(excluded, folds, ray, gate, shift, out) -> changed\n--\n\n"
                               "Fold counts into `out`, the shift of each block added to its gates with echo."),
    method<nearby_areas>("nearby_areas", "nearby_areas(excluded, velocity, folds, span, wrap, gap, limit, rule, rings"
                                         "[, min_rings]) "
                                         "-> None or (at, area, shift, normal, rhs)\n--\n\n"
                                         "Small echo areas that move to the large echo beside them, with the sums of "
                                         "the sweep's VAD rings."),
    method<vad_sums>("vad_sums", "vad_sums(excluded, velocity, folds, span, rings) -> (normal, rhs)\n--\n\n"
                                 "Least-squares sums of the VAD fit of the sweep's fitted rings, float32 terms."),
    method<shift_valid>("shift_valid", "shift_valid(excluded, folds, shift) -> (folds, changed)\n--\n\n"
                                       "int32 fold counts with a whole-sweep shift added to the valid gates."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vornak::anchor_module
