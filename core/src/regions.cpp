#include "vornak/regions.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "vornak/grid.hpp"
#include "vornak/label.hpp"
#include "vornak/numeric.hpp"

namespace vornak {

namespace {

// Limit counts at or beyond this are beyond any platform's address space.
constexpr std::int64_t max_limit_count = std::int64_t{1} << 61;

constexpr std::uint64_t none = IntervalLimits::none;

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
  if (!(limit[k] <= v)) {
    std::uint64_t lo = 0;  // limit[lo] <= v
    std::uint64_t hi = k;  // limit[hi] > v
    while (hi - lo > 1) {
      const std::uint64_t mid = lo + (hi - lo) / 2;
      (limit[mid] <= v ? lo : hi) = mid;
    }
    k = lo;
  } else {
    for (int tries = 0; tries < 2 && k < last && limit[k + 1] <= v; ++tries) ++k;
    if (k < last && limit[k + 1] <= v) {
      std::uint64_t lo = k + 1;     // limit[lo] <= v
      std::uint64_t hi = last + 1;  // past the end
      while (hi - lo > 1) {
        const std::uint64_t mid = lo + (hi - lo) / 2;
        (limit[mid] <= v ? lo : hi) = mid;
      }
      k = lo;
    }
  }
  // limit[k] <= v < limit[k + 1] holds by construction below the last one.
  if (k < last) return k;
  return v < end ? last : none;
}

IntervalLimits interval_limits(double nyquist, std::int64_t interval_splits,
                               std::span<const float> vel, std::span<const std::uint8_t> mask) {
  require_length(mask.size(), vel.size(), "mask");
  const double width = (nyquist + nyquist) / static_cast<double>(interval_splits);

  // NaN never replaces an extreme: both comparisons are false for it.
  float vmin = std::numeric_limits<float>::infinity();
  float vmax = -std::numeric_limits<float>::infinity();
  for (std::size_t i = 0; i < vel.size(); ++i) {
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
  }

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
  const IntervalLimits& limits_;
  bool fast_ = false;
  double inverse_step_ = 0.0;
  std::uint64_t last_ = 0;
};

// Joins the components of x and y under the smaller root, so that every
// component's root is its first gate in scan order.
void join_first(Buffer<std::int32_t>& parent, std::int32_t x, std::int32_t y) noexcept {
  const std::int32_t a = find_root(parent, x);
  const std::int32_t b = find_root(parent, y);
  if (a < b) {
    parent[static_cast<std::size_t>(b)] = a;
  } else if (b < a) {
    parent[static_cast<std::size_t>(a)] = b;
  }
}

// Global region numbers for components given in first-gate order: ordered by
// interval, ties kept in first-gate order. Entry c - 1 is for component c.
Buffer<std::int32_t> number_by_interval(const Buffer<std::uint64_t>& keys) {
  const std::size_t count = keys.size();
  Buffer<std::int32_t> number = zeros<std::int32_t>(count);
  if (count == 0) return number;
  const auto [lowest, highest] = std::minmax_element(keys.begin(), keys.end());
  const std::uint64_t span = *highest - *lowest;
  if (span <= 4 * static_cast<std::uint64_t>(count) + 4096) {
    // Counting sort over the occupied key range: stable by construction.
    Buffer<std::int32_t> start = zeros<std::int32_t>(static_cast<std::size_t>(span) + 2);
    for (const std::uint64_t key : keys) ++start[static_cast<std::size_t>(key - *lowest) + 1];
    for (std::size_t k = 1; k < start.size(); ++k) start[k] += start[k - 1];
    for (std::size_t c = 0; c < count; ++c) {
      number[c] = ++start[static_cast<std::size_t>(keys[c] - *lowest)];
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
        return static_cast<std::size_t>(((keys[c] - *lowest) >> shift) & 0xffffu);
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
    for (std::size_t rank = 0; rank < count; ++rank) {
      number[order[rank]] = static_cast<std::int32_t>(rank + 1);
    }
  }
  return number;
}

}  // namespace

Regions find_regions(std::span<const float> vel, std::span<const std::uint8_t> mask,
                     std::size_t nrays, std::size_t ngates, const IntervalLimits& limits) {
  const std::size_t n = gate_count(nrays, ngates);
  require_length(vel.size(), n, "vel");
  require_length(mask.size(), n, "mask");
  Regions result{zeros<std::int32_t>(n), 0};
  if (n == 0 || limits.interval_count() == 0) return result;

  const IntervalFinder interval_of(limits);
  auto interval_at = [&](std::size_t i) {
    return mask[i] != 0 ? none : interval_of(widen(vel[i]));
  };

  // One union-find over the sweep: neighbours join when they share an
  // interval. The keys of the current and the previous ray suffice.
  Buffer<std::uint64_t> component_keys;
  {
    Buffer<std::int32_t> parent = filled<std::int32_t>(n, -1);
    Buffer<std::uint64_t> previous = filled<std::uint64_t>(ngates, none);
    Buffer<std::uint64_t> current = filled<std::uint64_t>(ngates, none);
    for (std::size_t r = 0; r < nrays; ++r) {
      for (std::size_t g = 0; g < ngates; ++g) {
        const std::size_t i = r * ngates + g;
        const std::uint64_t key = interval_at(i);
        current[g] = key;
        if (key == none) continue;
        const auto gate = static_cast<std::int32_t>(i);
        parent[i] = gate;
        const bool left = g > 0 && current[g - 1] == key;
        if (left) join_first(parent, gate, gate - 1);
        // With the left, upper-left and upper gates all in this interval,
        // the upper gate is already joined through the upper-left one.
        if (r > 0 && previous[g] == key && !(left && previous[g - 1] == key)) {
          join_first(parent, gate, static_cast<std::int32_t>(i - ngates));
        }
      }
      previous.swap(current);
    }

    // Components in the order of their first gate, which is their root.
    // Every parent lies earlier in scan order and in the same component, so
    // its label is already known.
    std::int32_t components = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::int32_t up = parent[i];
      if (up < 0) continue;
      if (static_cast<std::size_t>(up) == i) {
        result.labels[i] = ++components;
        component_keys.push_back(interval_at(i));
      } else {
        result.labels[i] = result.labels[static_cast<std::size_t>(up)];
      }
    }
  }

  const Buffer<std::int32_t> number = number_by_interval(component_keys);
  for (std::int32_t& label : result.labels) {
    if (label != 0) label = number[static_cast<std::size_t>(label) - 1];
  }
  result.region_count = static_cast<std::int32_t>(component_keys.size());
  return result;
}

}  // namespace vornak
