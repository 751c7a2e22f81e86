// Interval limits, and regions labelled as runs of one interval per ray joined across rays.
#include "vornak/regions.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

#include "vornak/grid.hpp"
#include "vornak/label.hpp"
#include "vornak/numeric.hpp"
#include "four_lanes.hpp"

namespace vornak {

namespace {

// Limit counts at or beyond this are beyond any platform's address space.
constexpr std::int64_t max_limit_count = std::int64_t{1} << 61;

constexpr std::uint64_t none = IntervalLimits::none;

using lanes::FloatLanes;
using lanes::IntLanes;
using lanes::kept_lanes;
using lanes::load_floats;

// Lowers `lowest` and raises `highest` lane by lane to the kept velocities
// of `v`; NaN never replaces an extreme, both comparisons being false for it.
// A gate the mask drops is made NaN (all bits set) and so passed over: the
// selections are then a plain minimum and maximum of lanes (minps and maxps
// on x86-64), where masking each comparison took several more operations in
// the labelling's pass over every gate.
inline void keep_extremes(FloatLanes v, IntLanes kept, FloatLanes& lowest,
                          FloatLanes& highest) noexcept {
  const auto w = (FloatLanes)((IntLanes)v | ~kept);
  lowest = w < lowest ? w : lowest;
  highest = w > highest ? w : highest;
}

}  // namespace

std::uint64_t IntervalLimits::interval_of(double v) const noexcept {
  if (count < 2) return none;
  const std::uint64_t last = count - 2;
  const IntervalLimits& limit = *this;
  // A finite non-negative step gives non-decreasing limits up to the last but
  // one, so the interval is found by position. Otherwise (descending, NaN or
  // infinite step) every interval but the last is empty or NaN-bounded.
  if (!(step >= 0.0) || !std::isfinite(step)) {
    return (limit[last] <= v && v < end) ? last : none;
  }
  if (!(start <= v)) return none;

  // Largest k <= last with limit[k] <= v: guess from the position, correct
  // the rounding locally, and fall back to bisection for extreme spacings.
  std::uint64_t k = last;
  if (step > 0.0) {
    const double q = std::floor((v - start) / step);
    if (q < 0.0) {
      k = 0;
    } else if (q < static_cast<double>(last)) {
      k = static_cast<std::uint64_t>(q);
    }
  }
  for (int tries = 0; tries < 2 && k > 0 && !(limit[k] <= v); ++tries) --k;
  if (limit[k] <= v) {
    for (int tries = 0; tries < 2 && k < last && limit[k + 1] <= v; ++tries) ++k;
  }
  const bool overshot = !(limit[k] <= v);
  if (overshot || (k < last && limit[k + 1] <= v)) {
    std::uint64_t lo = overshot ? 0 : k + 1;     // limit[lo] <= v (limit[0] is start)
    std::uint64_t hi = overshot ? k : last + 1;  // limit[hi] > v, or past the last but one
    while (hi - lo > 1) {
      const std::uint64_t mid = lo + (hi - lo) / 2;
      (limit[mid] <= v ? lo : hi) = mid;
    }
    k = lo;
  }
  // limit[k] <= v < limit[k + 1] holds by construction below the last one.
  if (k < last) return k;
  return v < end ? last : none;
}

IntervalLimits interval_limits(double nyquist, std::int64_t interval_splits,
                               std::span<const float> vel, std::span<const std::uint8_t> mask) {
  return interval_limits(nyquist, interval_splits, vel, mask, Extremes{});
}

IntervalLimits interval_limits(double nyquist, std::int64_t interval_splits,
                               std::span<const float> vel, std::span<const std::uint8_t> mask,
                               const Extremes& seen) {
  require_length(mask.size(), vel.size(), "mask");
  const double width = (nyquist + nyquist) / static_cast<double>(interval_splits);

  // NaN never replaces an extreme: both comparisons are false for it. Four
  // gates at a time, each lane keeping its own extremes; the lanes' order
  // could only decide between 0 and -0, which give the same limits.
  constexpr float inf = std::numeric_limits<float>::infinity();
  float vmin = seen.lowest;
  float vmax = seen.highest;
  std::size_t i = std::min(seen.gates, vel.size());
  {
    FloatLanes lowest = {inf, inf, inf, inf};
    FloatLanes highest = -lowest;
    for (; i + 4 <= vel.size(); i += 4) {
      keep_extremes(load_floats(vel.data() + i), kept_lanes(mask.data() + i), lowest, highest);
    }
    for (int lane = 0; lane < 4; ++lane) {
      vmin = lowest[lane] < vmin ? lowest[lane] : vmin;
      vmax = highest[lane] > vmax ? highest[lane] : vmax;
    }
  }
  for (; i < vel.size(); ++i) {
    if (mask[i] != 0) continue;
    vmin = vel[i] < vmin ? vel[i] : vmin;
    vmax = vel[i] > vmax ? vel[i] : vmax;
  }

  // Both counts are taken as soon as either side exceeds: the side that does
  // not exceed gets a count of zero or less, which moves its end inward.
  std::int64_t above = 0;
  std::int64_t below = 0;
  if (widen(vmin) < -nyquist || widen(vmax) > nyquist) {
    above = ceil_to_i64((widen(vmax) - nyquist) / width);
    below = ceil_to_i64(-(widen(vmin) + nyquist) / width);
  }

  // The count is summed exactly: wrapped to 64 bits, an astronomically large
  // count (one infinite velocity saturates an extension count) would come
  // back as no interval at all, and the sweep as dealiased with no fold.
  __extension__ using wide = __int128;
  const wide exact = static_cast<wide>(interval_splits) + below + above + 1;
  IntervalLimits limits;
  if (exact <= 0) return limits;
  if (exact >= max_limit_count) fail_capacity();

  limits.count = static_cast<std::uint64_t>(exact);
  limits.start = -nyquist - static_cast<double>(below) * width;
  limits.end = nyquist + static_cast<double>(above) * width;
  if (limits.count >= 2) {
    limits.step = (limits.end - limits.start) / static_cast<double>(limits.count - 1);
  }
  return limits;
}

namespace {

// The floats whose widened value lies within [-nyquist, nyquist]: the
// velocities that leave the limits unextended.
struct Band {
  float low = 0.0f;
  float high = 0.0f;
};

// interval_of for a whole sweep: with ascending, finite limits the interval
// is guessed by a multiplication and confirmed against the exact limits; any
// doubt goes to the general search.
class IntervalFinder {
 public:
  explicit IntervalFinder(const IntervalLimits& limits) : limits_(limits) {
    fast_ = limits.count >= 2 && limits.step > 0.0 && std::isfinite(limits.step) &&
            std::isfinite(limits.start);
    if (fast_) {
      inverse_step_ = 1.0 / limits.step;
      last_ = limits.count - 2;
    }
    prepare_few();
  }

  // Walks one ray's gates and calls changed(g, key) at every gate whose
  // interval differs from the previous gate's (`none` where masked or in no
  // interval; before gate 0 it is `none`). With `watch`, also takes the
  // extremes of the velocities the mask keeps into `seen`.
  template <bool watch, class Changed>
  void ray_changes(const float* vel, const std::uint8_t* mask, std::size_t count,
                   Extremes& seen, Changed&& changed) const {
    // The number of inner limits fixed at compile time: the comparisons
    // against them unrolled.
    switch (inner_count_) {
      case 0: return ray_changes<watch, 0>(vel, mask, count, seen, changed);
      case 1: return ray_changes<watch, 1>(vel, mask, count, seen, changed);
      case 2: return ray_changes<watch, 2>(vel, mask, count, seen, changed);
      case 3: return ray_changes<watch, 3>(vel, mask, count, seen, changed);
      case 4: return ray_changes<watch, 4>(vel, mask, count, seen, changed);
      case 5: return ray_changes<watch, 5>(vel, mask, count, seen, changed);
      case 6: return ray_changes<watch, 6>(vel, mask, count, seen, changed);
      default: return ray_changes<watch, max_few - 1>(vel, mask, count, seen, changed);
    }
  }

  template <bool watch, std::size_t inner, class Changed>
  void ray_changes(const float* vel, const std::uint8_t* mask, std::size_t count,
                   Extremes& seen, Changed& changed) const {
    std::size_t g = 0;
    std::uint64_t previous = none;
    FloatLanes lowest = {seen.lowest, seen.lowest, seen.lowest, seen.lowest};
    FloatLanes highest = {seen.highest, seen.highest, seen.highest, seen.highest};
    if (few_) {
      // Sixteen gates a step, without branches; the gates whose interval
      // changes come out as bits, visited one by one.
      IntLanes carried = {-1, -1, -1, -1};  // lane 3: the last gate's key, -1 for none
      for (; g + 16 <= count; g += 16) {
        IntLanes keys[4];
        std::uint32_t bits = 0;
        IntLanes kept_gates[4];
        lanes::kept_lanes16(mask + g, kept_gates);
        for (std::size_t q = 0; q < 4; ++q) {
          const std::size_t at = g + 4 * q;
          const FloatLanes v = load_floats(vel + at);
          IntLanes k = {0, 0, 0, 0};
          for (std::size_t j = 0; j < inner; ++j) k -= (v >= inner_[j]);
          const IntLanes kept = kept_gates[q];
          const IntLanes inside = (v >= lowest_) & ~(v >= top_) & kept;
          if constexpr (watch) keep_extremes(v, kept, lowest, highest);
          k = (k & inside) | ~inside;  // -1 outside every interval
          bits |= lanes::mask_bits(k != lanes::shifted_in(carried, k)) << (4 * q);
          carried = k;
          keys[q] = k;
        }
        while (bits != 0) {
          const int lane = std::countr_zero(bits);
          bits &= bits - 1;
          const std::int32_t key = keys[lane >> 2][lane & 3];
          changed(g + static_cast<std::size_t>(lane),
                  static_cast<std::uint64_t>(static_cast<std::int64_t>(key)));
        }
      }
      previous = static_cast<std::uint64_t>(static_cast<std::int64_t>(carried[3]));
    }
    if constexpr (watch) {
      for (int lane = 0; lane < 4; ++lane) {
        seen.lowest = lowest[lane] < seen.lowest ? lowest[lane] : seen.lowest;
        seen.highest = highest[lane] > seen.highest ? highest[lane] : seen.highest;
      }
    }
    for (; g < count; ++g) {
      const std::uint64_t key = mask[g] != 0 ? none : (*this)(widen(vel[g]));
      if (watch && mask[g] == 0) {
        seen.lowest = vel[g] < seen.lowest ? vel[g] : seen.lowest;
        seen.highest = vel[g] > seen.highest ? vel[g] : seen.highest;
      }
      if (key != previous) changed(g, key);
      previous = key;
    }
    if constexpr (watch) seen.gates += count;
  }

  // Whether a ray's intervals are found sixteen gates at a time.
  [[nodiscard]] bool few() const noexcept { return few_; }

  std::uint64_t operator()(double v) const noexcept {
    if (fast_ && limits_.start <= v) {
      const double q = (v - limits_.start) * inverse_step_;
      const std::uint64_t k = q < static_cast<double>(last_) ? static_cast<std::uint64_t>(q) : last_;
      if (limits_[k] <= v) {
        if (v < limits_[k + 1]) return k;
        if (k == last_) return none;  // at or beyond the top limit
      }
    }
    return limits_.interval_of(v);
  }

 private:
  // With a few intervals between finite, non-decreasing limits, a velocity's
  // interval is the number of inner limits at or below it. The comparisons
  // run on floats against each limit rounded up to a float: a float is at or
  // above a double limit exactly when it is at or above the least float that
  // is, so nothing changes but the speed.
  static constexpr std::size_t max_few = 8;

  static float least_float_at_or_above(double limit) noexcept {
    float f = static_cast<float>(limit);
    if (static_cast<double>(f) < limit) f = std::nextafter(f, std::numeric_limits<float>::infinity());
    return f;
  }

  void prepare_few() noexcept {
    const std::uint64_t intervals = limits_.interval_count();
    if (intervals == 0 || intervals > max_few) return;
    for (std::uint64_t k = 0; k <= intervals; ++k) {
      if (!std::isfinite(limits_[k])) return;
      if (k > 0 && !(limits_[k - 1] <= limits_[k])) return;
    }
    lowest_ = least_float_at_or_above(limits_[0]);
    top_ = least_float_at_or_above(limits_[intervals]);
    inner_count_ = static_cast<std::size_t>(intervals - 1);
    for (std::size_t j = 0; j < inner_count_; ++j) inner_[j] = least_float_at_or_above(limits_[j + 1]);
    few_ = true;
  }

  const IntervalLimits& limits_;
  bool fast_ = false;
  double inverse_step_ = 0.0;
  std::uint64_t last_ = 0;
  bool few_ = false;
  float lowest_ = 0.0f;
  float top_ = 0.0f;
  float inner_[max_few - 1] = {};
  std::size_t inner_count_ = 0;
};

// low is the least float at or above -nyquist, high the greatest at or
// below nyquist.
Band nyquist_band(double nyquist) noexcept {
  constexpr float inf = std::numeric_limits<float>::infinity();
  float low = static_cast<float>(-nyquist);
  if (static_cast<double>(low) < -nyquist) low = std::nextafter(low, inf);
  float high = static_cast<float>(nyquist);
  if (static_cast<double>(high) > nyquist) high = std::nextafter(high, -inf);
  return Band{low, high};
}

// Gates [begin, end) of one ray in one interval, as positions in the sweep.
struct Run {
  std::uint32_t begin;
  std::uint32_t end;
};

// Writes `value` to labels [begin, end), four at a time, and the first eight
// whatever the length: the stores may reach up to eight gates past `end`,
// never past `limit`. Labels are written in scan order, each stretch from
// where the last one ended, so what follows covers them; most stretches
// are short, and two stores cost less than a mispredicted loop.
void fill_ahead(std::int32_t* labels, std::size_t begin, std::size_t end, std::int32_t value,
                std::size_t limit) noexcept {
  const IntLanes four = {value, value, value, value};
  std::size_t at = begin;
  if (at + 8 <= limit) {
    std::memcpy(labels + at, &four, sizeof four);
    std::memcpy(labels + at + 4, &four, sizeof four);
    at += 8;
  }
  for (; at < end && at + 4 <= limit; at += 4) std::memcpy(labels + at, &four, sizeof four);
  for (; at < end; ++at) labels[at] = value;
}

// Joins the components of runs x and y under the smaller root, so that every
// component's root is its first run in scan order.
void join_first(std::span<std::int32_t> parent, std::int32_t x, std::int32_t y) noexcept {
  const std::int32_t a = find_root(parent, x);
  const std::int32_t b = find_root(parent, y);
  if (a < b) {
    parent[static_cast<std::size_t>(b)] = a;
  } else if (b < a) {
    parent[static_cast<std::size_t>(a)] = b;
  }
}

// Global region numbers (1 up) for components given in first-gate order:
// ordered by interval, ties kept in first-gate order. Entry c holds the key
// (interval) of component c, counted from 0, and is replaced by its number:
// no buffer of numbers beside the keys.
void number_by_interval(std::span<std::uint64_t> keys) {
  const std::size_t count = keys.size();
  if (count == 0) return;
  const auto [lowest_at, highest_at] = std::minmax_element(keys.begin(), keys.end());
  const std::uint64_t lowest = *lowest_at;
  const std::uint64_t span = *highest_at - lowest;
  // A counting sort needs one counter per key in the occupied range: it is
  // taken while that stays within a few counters per component (and a floor
  // that small sweeps always meet), so its memory stays in proportion.
  if (span <= 4 * static_cast<std::uint64_t>(count) + 4096) {
    // Counting sort over the occupied key range: stable by construction.
    Buffer<std::int32_t> start = zeros<std::int32_t>(static_cast<std::size_t>(span) + 2);
    for (const std::uint64_t key : keys) ++start[static_cast<std::size_t>(key - lowest) + 1];
    for (std::size_t k = 1; k < start.size(); ++k) start[k] += start[k - 1];
    for (std::uint64_t& key : keys) {
      key = static_cast<std::uint64_t>(++start[static_cast<std::size_t>(key - lowest)]);
    }
  } else {
    // Widely spread intervals: a stable least-significant-digit radix sort
    // of the component numbers by key, 16 bits a pass, as many passes as
    // the key range needs.
    Buffer<std::uint32_t> order = zeros<std::uint32_t>(count);
    Buffer<std::uint32_t> sorted = zeros<std::uint32_t>(count);
    for (std::size_t c = 0; c < count; ++c) order[c] = static_cast<std::uint32_t>(c);
    Buffer<std::uint32_t> start = zeros<std::uint32_t>(std::size_t{1} << 16);
    for (int shift = 0; shift < 64 && (span >> shift) != 0; shift += 16) {
      std::fill(start.begin(), start.end(), 0u);
      auto digit = [&](std::uint32_t c) {
        return static_cast<std::size_t>(((keys[c] - lowest) >> shift) & 0xffffu);
      };
      for (std::size_t i = 0; i < count; ++i) ++start[digit(order[i])];
      std::uint32_t total = 0;
      for (auto& s : start) {
        const std::uint32_t here = s;
        s = total;
        total += here;
      }
      for (std::size_t i = 0; i < count; ++i) sorted[start[digit(order[i])]++] = order[i];
      order.swap(sorted);
    }
    for (std::size_t rank = 0; rank < count; ++rank) keys[order[rank]] = rank + 1;
  }
}

}  // namespace

namespace {

// The regions of find_regions. With `watch`, the extremes of the kept
// velocities are taken into `seen` ray by ray, and there are none as soon as
// they leave `band`. Preconditions: as find_regions, n > 0 and at least one
// interval.
template <bool watch>
std::optional<Regions> label_regions(std::span<const float> vel,
                                     std::span<const std::uint8_t> mask, std::size_t nrays,
                                     std::size_t ngates, const IntervalFinder& interval_of,
                                     const Band& band, Extremes& seen) {
  const std::size_t n = nrays * ngates;
  Regions result{uninitialized<std::int32_t>(n), 0, {}};

  // The sweep as runs: maximal stretches of one ray in one interval, in scan
  // order. Smooth fields give long runs, so joining runs of neighbouring rays
  // costs far less than joining gates, and a component's first run (its
  // root, as runs join under the smaller index) holds its first gate.
  Buffer<Run> runs;
  Buffer<std::uint64_t> run_keys;
  Buffer<std::int32_t> parent;
  // Room for the runs as the rays seen so far predict them, an eighth more,
  // rather than for a run per gate: smooth sweeps have a run per ten gates or
  // fewer, and every page reserved and touched is fresh memory.
  auto make_room = [&](std::size_t rays_seen, std::size_t needed) {
    const std::size_t predicted =
        rays_seen == 0 ? needed : runs.size() / rays_seen * nrays + ngates;
    if (predicted <= runs.capacity() && needed <= runs.capacity()) return;
    const std::size_t room = std::max(needed, std::min(n, predicted + predicted / 8));
    runs.reserve(room);
    run_keys.reserve(room);
    parent.reserve(room);
  };
  {
    std::size_t previous_first = 0;
    for (std::size_t r = 0; r < nrays; ++r) {
      const std::size_t row = r * ngates;
      const std::size_t first = runs.size();
      // A ray holds at most a run per gate: room for them all, written
      // without a check each, and the buffers cut back to the runs found.
      if (runs.capacity() - first < ngates) make_room(r, first + ngates);
      runs.resize(first + ngates);
      run_keys.resize(first + ngates);
      parent.resize(first + ngates);
      std::size_t found = first;
      bool open = false;  // a run is being extended
      interval_of.ray_changes<watch>(
          vel.data() + row, mask.data() + row, ngates, seen,
          [&](std::size_t g, std::uint64_t key) {
            // Without branches, the mix of runs and gaps being unpredictable:
            // the open run ends here, or else the free slot after the runs
            // takes the write; a new run is written to that slot either way
            // and kept only when this gate opens one. A ray's changes lie at
            // distinct gates, so the slot stays within the room made above.
            const auto i = static_cast<std::uint32_t>(row + g);
            runs[found - (open ? 1 : 0)].end = i;
            open = key != none;
            parent[found] = static_cast<std::int32_t>(found);
            runs[found] = Run{i, 0};
            run_keys[found] = key;
            found += open ? 1 : 0;
          });
      runs.resize(found);
      run_keys.resize(found);
      parent.resize(found);
      if (watch && (seen.lowest < band.low || seen.highest > band.high)) return std::nullopt;
      if (open) runs.back().end = static_cast<std::uint32_t>(row + ngates);

      // Runs of the two rays that share a gate column and an interval join.
      if (r > 0) {
        std::size_t p = previous_first;
        std::size_t c = first;
        while (p < first && c < runs.size()) {
          const std::size_t p_begin = runs[p].begin - (row - ngates);
          const std::size_t p_end = runs[p].end - (row - ngates);
          const std::size_t c_begin = runs[c].begin - row;
          const std::size_t c_end = runs[c].end - row;
          // One branch, on whether the runs join; the walk itself steps
          // without branches. Zero when they do, in one integer: as a
          // conjunction of comparisons it is compiled to two branches.
          const std::uint64_t apart = (run_keys[p] ^ run_keys[c]) |
                                      static_cast<std::uint64_t>(c_end <= p_begin) |
                                      static_cast<std::uint64_t>(p_end <= c_begin);
          if (apart == 0) {
            join_first(parent, static_cast<std::int32_t>(c), static_cast<std::int32_t>(p));
          }
          // The run that ends first steps on (both when they end together),
          // by the sign of the difference: written as a comparison, the step
          // is compiled to a branch that the runs' lengths make a coin toss.
          p += 1 - (static_cast<std::uint64_t>(c_end - p_end) >> 63);
          c += 1 - (static_cast<std::uint64_t>(p_end - c_end) >> 63);
        }
      }
      previous_first = first;
      make_room(r + 1, runs.size());
    }
  }

  // Components numbered from 0 in the order of their first run. Every parent
  // lies earlier and in the same component, so its component is already
  // known: the forest is rewritten front to back into component numbers. A
  // component's key goes to the front of the run keys (c <= j), which then
  // become the region numbers.
  Buffer<std::int32_t> component = std::move(parent);
  std::size_t components = 0;
  // Without branches: the key is copied whether or not the run is a root,
  // to the one place (components <= j) that the next root takes.
  for (std::size_t j = 0; j < runs.size(); ++j) {
    const auto up = static_cast<std::size_t>(component[j]);  // still the parent run
    const bool root = up == j;
    const std::int32_t above = component[up];
    // By mask: a conditional here is compiled to a branch, which roots and
    // other runs, mixed at random, mispredict.
    const std::int32_t is_root = -static_cast<std::int32_t>(root);
    component[j] = (static_cast<std::int32_t>(components) & is_root) | (above & ~is_root);
    run_keys[components] = run_keys[j];
    components += root ? 1 : 0;
  }
  result.region_count = static_cast<std::int32_t>(components);

  // Every label written once: the runs, in scan order, and 0 between them.
  const std::span<std::uint64_t> number = std::span(run_keys).first(components);
  number_by_interval(number);
  result.sizes = zeros<std::int32_t>(components);
  std::int32_t* const labels = result.labels.data();
  std::size_t written = 0;
  for (std::size_t j = 0; j < runs.size(); ++j) {
    const auto label = static_cast<std::int32_t>(number[static_cast<std::size_t>(component[j])]);
    fill_ahead(labels, written, runs[j].begin, 0, n);
    fill_ahead(labels, runs[j].begin, runs[j].end, label, n);
    written = runs[j].end;
    auto& size = result.sizes[static_cast<std::size_t>(label) - 1];
    size = wrapping_add(size, static_cast<std::int32_t>(runs[j].end - runs[j].begin));
  }
  fill_ahead(labels, written, n, 0, n);
  return result;
}

}  // namespace

Regions find_regions(std::span<const float> vel, std::span<const std::uint8_t> mask,
                     std::size_t nrays, std::size_t ngates, const IntervalLimits& limits) {
  const std::size_t n = gate_count(nrays, ngates);
  require_length(vel.size(), n, "vel");
  require_length(mask.size(), n, "mask");
  if (n == 0 || limits.interval_count() == 0) return Regions{zeros<std::int32_t>(n), 0, {}};
  Extremes unwatched;
  return *label_regions<false>(vel, mask, nrays, ngates, IntervalFinder(limits), Band{},
                               unwatched);
}

std::optional<Regions> find_regions_within_nyquist(std::span<const float> vel,
                                                   std::span<const std::uint8_t> mask,
                                                   std::size_t nrays, std::size_t ngates,
                                                   double nyquist, std::int64_t interval_splits,
                                                   Extremes& seen) {
  seen = Extremes{};
  const std::size_t n = gate_count(nrays, ngates);
  require_length(vel.size(), n, "vel");
  require_length(mask.size(), n, "mask");
  // Only a few intervals come sixteen gates at a time, where the watch on
  // the velocities costs next to nothing.
  if (n == 0 || interval_splits < 1 || interval_splits > 8 || std::isnan(nyquist)) {
    return std::nullopt;
  }
  // No velocity: the limits of the Nyquist interval itself, as interval_limits
  // gives them when no valid velocity lies beyond it.
  const IntervalLimits limits = interval_limits(nyquist, interval_splits, {}, {});
  const IntervalFinder interval_of(limits);
  if (!interval_of.few()) return std::nullopt;
  return label_regions<true>(vel, mask, nrays, ngates, interval_of, nyquist_band(nyquist), seen);
}

}  // namespace vornak
