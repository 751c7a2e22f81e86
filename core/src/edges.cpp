#include "vornak/edges.hpp"

#include <algorithm>
#include <bit>
#include <limits>

#include "vornak/grid.hpp"
#include "vornak/numeric.hpp"

namespace vornak {

namespace {

// Number of candidates a walk may examine: the adjacent gate and `skip`
// further ones; a skip of zero or less allows only the adjacent gate.
std::uint64_t walk_length(std::int64_t skip) noexcept {
  return skip <= 0 ? 1 : static_cast<std::uint64_t>(skip) + 1;
}

// Contact statistics per ordered pair, accumulated in scan order: the sums
// come out exactly as if the contacts were collected, stably sorted by pair
// and added run by run. Open addressing keyed by the pair.
class PairTally {
 public:
  void add(std::int32_t a, std::int32_t b, double va, double vb) {
    if (2 * (used_ + 1) > keys_.size()) grow();
    const std::uint64_t key = pack(a, b);
    std::size_t slot = home(key);
    while (keys_[slot] != 0 && keys_[slot] != key) slot = (slot + 1) & (keys_.size() - 1);
    if (keys_[slot] == 0) {
      // Entry numbers are 32-bit; a sweep cannot come near this in memory.
      if (used_ == std::numeric_limits<std::uint32_t>::max()) fail_capacity();
      keys_[slot] = key;
      entry_[slot] = static_cast<std::uint32_t>(used_++);
      count_.push_back(0);
      sum_a_.push_back(0.0);
      sum_b_.push_back(0.0);
    }
    const std::size_t e = entry_[slot];
    count_[e] = wrapping_add(count_[e], std::int32_t{1});
    sum_a_[e] += va;
    sum_b_[e] += vb;
  }

  // The pairs sorted by region_b, then region_a, into `edges`.
  void emit(Edges& edges, std::int32_t largest_region) {
    const std::size_t total = used_;
    Buffer<std::int32_t> pair_a = zeros<std::int32_t>(total);
    Buffer<std::int32_t> pair_b = zeros<std::int32_t>(total);
    for (std::size_t slot = 0; slot < keys_.size(); ++slot) {
      if (keys_[slot] == 0) continue;
      pair_a[entry_[slot]] = static_cast<std::int32_t>(keys_[slot] >> 32);
      pair_b[entry_[slot]] = static_cast<std::int32_t>(keys_[slot] & 0xffffffffu);
    }
    keys_ = {};
    entry_ = {};
    // Two stable counting passes over the region numbers: by a, then by b.
    const auto buckets = static_cast<std::size_t>(largest_region) + 2;
    Buffer<std::uint32_t> by_a = order_by(pair_a, nullptr, buckets, total);
    Buffer<std::uint32_t> order = order_by(pair_b, &by_a, buckets, total);
    by_a = {};
    edges.region_a = zeros<std::int32_t>(total);
    edges.region_b = zeros<std::int32_t>(total);
    edges.count = zeros<std::int32_t>(total);
    edges.sum_a = zeros<double>(total);
    edges.sum_b = zeros<double>(total);
    for (std::size_t i = 0; i < total; ++i) {
      const std::size_t e = order[i];
      edges.region_a[i] = pair_a[e];
      edges.region_b[i] = pair_b[e];
      edges.count[i] = count_[e];
      edges.sum_a[i] = sum_a_[e];
      edges.sum_b[i] = sum_b_[e];
    }
  }

 private:
  static std::uint64_t pack(std::int32_t a, std::int32_t b) noexcept {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(a)) << 32) |
           static_cast<std::uint32_t>(b);
  }
  std::size_t home(std::uint64_t key) const noexcept {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  void grow() {
    const std::size_t capacity = keys_.empty() ? 1024 : 2 * keys_.size();
    Buffer<std::uint64_t> old_keys = zeros<std::uint64_t>(capacity);
    Buffer<std::uint32_t> old_entry = zeros<std::uint32_t>(capacity);
    old_keys.swap(keys_);
    old_entry.swap(entry_);
    shift_ = 64 - std::countr_zero(capacity);
    for (std::size_t s = 0; s < old_keys.size(); ++s) {
      if (old_keys[s] == 0) continue;
      std::size_t slot = home(old_keys[s]);
      while (keys_[slot] != 0) slot = (slot + 1) & (capacity - 1);
      keys_[slot] = old_keys[s];
      entry_[slot] = old_entry[s];
    }
  }
  // Entry positions stably ordered by `region` (entries in `input` order, or
  // in index order when input is null).
  static Buffer<std::uint32_t> order_by(const Buffer<std::int32_t>& region,
                                        const Buffer<std::uint32_t>* input, std::size_t buckets,
                                        std::size_t total) {
    Buffer<std::uint32_t> start = zeros<std::uint32_t>(buckets);
    for (const std::int32_t r : region) ++start[static_cast<std::size_t>(r) + 1];
    for (std::size_t k = 1; k < buckets; ++k) start[k] += start[k - 1];
    Buffer<std::uint32_t> out = zeros<std::uint32_t>(total);
    for (std::size_t i = 0; i < total; ++i) {
      const std::uint32_t e = input != nullptr ? (*input)[i] : static_cast<std::uint32_t>(i);
      out[start[static_cast<std::size_t>(region[e])]++] = e;
    }
    return out;
  }

  Buffer<std::uint64_t> keys_;   // 0 = empty (regions are numbered from 1)
  Buffer<std::uint32_t> entry_;  // per hash slot, the entry index
  std::size_t used_ = 0;
  int shift_ = 64;
  Buffer<std::int32_t> count_;
  Buffer<double> sum_a_;
  Buffer<double> sum_b_;
};

// The scan: every labelled gate, in ray-major order, walks to the previous
// ray, the next ray, the previous gate and the next gate, in that order. The
// first labelled gate of each walk is found from running positions instead of
// stepping over the unlabelled gates between.
template <bool larger_first_only>
Edges scan_edges(std::span<const std::int32_t> labels, std::span<const float> vel,
                 std::size_t nrays, std::size_t ngates, bool rays_wrap_around,
                 std::int64_t skip_between_rays, std::int64_t skip_along_ray) {
  const std::size_t n = gate_count(nrays, ngates);
  require_length(labels.size(), n, "labels");
  require_length(vel.size(), n, "vel");
  Edges edges;
  if (n == 0) return edges;

  const std::uint64_t across = walk_length(skip_between_rays);
  const std::uint64_t along = walk_length(skip_along_ray);
  const std::size_t no_ray = nrays;

  // Per gate column: the last labelled ray seen so far, the next labelled ray
  // at or after a cursor, and the first and last labelled rays overall (for
  // walks that come round the end of the sweep).
  Buffer<std::uint32_t> previous_ray = filled<std::uint32_t>(ngates, static_cast<std::uint32_t>(no_ray));
  Buffer<std::uint32_t> next_ray = filled<std::uint32_t>(ngates, 0);
  Buffer<std::uint32_t> first_ray = filled<std::uint32_t>(ngates, static_cast<std::uint32_t>(no_ray));
  Buffer<std::uint32_t> last_ray = filled<std::uint32_t>(ngates, static_cast<std::uint32_t>(no_ray));
  if (rays_wrap_around) {
    for (std::size_t r = 0; r < nrays; ++r) {
      for (std::size_t g = 0; g < ngates; ++g) {
        if (labels[r * ngates + g] == 0) continue;
        if (first_ray[g] == no_ray) first_ray[g] = static_cast<std::uint32_t>(r);
        last_ray[g] = static_cast<std::uint32_t>(r);
      }
    }
  }

  PairTally tally;
  std::int32_t largest = 0;
  auto record = [&](std::int32_t a, double va, std::size_t j) {
    const std::int32_t b = labels[j];
    if (b == a) return;
    if (larger_first_only && a < b) return;
    largest = std::max(largest, std::max(a, b));
    tally.add(a, b, va, widen(vel[j]));
  };

  for (std::size_t r = 0; r < nrays; ++r) {
    const std::size_t row = r * ngates;
    std::size_t previous_gate = ngates;  // none yet on this ray
    std::size_t next_gate = 0;           // cursor: first labelled gate at or after it
    for (std::size_t g = 0; g < ngates; ++g) {
      const std::int32_t a = labels[row + g];
      if (a == 0) continue;
      const double va = widen(vel[row + g]);

      // Previous ray.
      if (previous_ray[g] != no_ray) {
        const std::size_t p = previous_ray[g];
        if (r - p <= across) record(a, va, p * ngates + g);
      } else if (rays_wrap_around) {
        // Round the end: the last labelled ray, possibly this one.
        const std::size_t p = last_ray[g];
        if (r + nrays - p <= across) record(a, va, p * ngates + g);
      }
      // Next ray.
      std::size_t q = std::max<std::size_t>(next_ray[g], r + 1);
      while (q < nrays && labels[q * ngates + g] == 0) ++q;
      next_ray[g] = static_cast<std::uint32_t>(q);
      if (q < nrays) {
        if (q - r <= across) record(a, va, q * ngates + g);
      } else if (rays_wrap_around) {
        const std::size_t f = first_ray[g];
        if (f + nrays - r <= across) record(a, va, f * ngates + g);
      }
      // Previous gate.
      if (previous_gate != ngates && g - previous_gate <= along) {
        record(a, va, row + previous_gate);
      }
      // Next gate.
      std::size_t s = std::max(next_gate, g + 1);
      while (s < ngates && labels[row + s] == 0) ++s;
      next_gate = s;
      if (s < ngates && s - g <= along) record(a, va, row + s);

      previous_gate = g;
      previous_ray[g] = static_cast<std::uint32_t>(r);
    }
  }
  tally.emit(edges, largest);
  return edges;
}

}  // namespace

Edges find_edges(std::span<const std::int32_t> labels, std::span<const float> vel,
                 std::size_t nrays, std::size_t ngates, bool rays_wrap_around,
                 std::int64_t skip_between_rays, std::int64_t skip_along_ray) {
  return scan_edges<false>(labels, vel, nrays, ngates, rays_wrap_around, skip_between_rays,
                           skip_along_ray);
}

Edges find_boundaries(std::span<const std::int32_t> labels, std::span<const float> vel,
                      std::size_t nrays, std::size_t ngates, bool rays_wrap_around,
                      std::int64_t skip_between_rays, std::int64_t skip_along_ray) {
  return scan_edges<true>(labels, vel, nrays, ngates, rays_wrap_around, skip_between_rays,
                          skip_along_ray);
}

}  // namespace vornak
