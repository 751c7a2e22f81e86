// Region edges: contact walks from every gate that is not interior, condensed per pair of regions.
#include "vornak/edges.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <utility>

#include "vornak/grid.hpp"
#include "vornak/numeric.hpp"
#include "four_lanes.hpp"

namespace vornak {

namespace {

// Number of candidates a walk may examine: the adjacent gate and `skip`
// further ones; a skip of zero or less allows only the adjacent gate.
std::uint64_t walk_length(std::int64_t skip) noexcept {
  return skip <= 0 ? 1 : static_cast<std::uint64_t>(skip) + 1;
}

using lanes::IntLanes;
using lanes::load_ints;

// Whether a labelled gate whose four adjacent gates carry `left`, `right`,
// `up` and `down` has nothing to find. Every walk then ends at once on its
// adjacent gate: with all four in its own region (interior) nothing is
// found; when only contacts from the larger region count, nothing is
// wanted either while all four are labelled no smaller than its own. Gates
// beside an unlabelled gate are always visited: the walks across gaps rely
// on it (walk_contacts). Lane by lane or on single gates.
template <bool larger_first_only, class T>
T idle(T a, T left, T right, T up, T down) noexcept {
  if constexpr (larger_first_only) {
    // Labels are not negative, so with a > 0, b >= a means b labelled too.
    return (left >= a) & (right >= a) & (up >= a) & (down >= a);
  } else {
    return (left == a) & (right == a) & (up == a) & (down == a);
  }
}

// -1 in the lanes where gate g + k of the ray `here` is to be visited: it is
// labelled and not idle.
template <bool larger_first_only>
IntLanes visited_lanes(const std::int32_t* before, const std::int32_t* here,
                       const std::int32_t* after, std::size_t g) noexcept {
  const IntLanes a = load_ints(here + g);
  const IntLanes left = load_ints(here + g - 1);
  const IntLanes right = load_ints(here + g + 1);
  const IntLanes up = load_ints(before + g);
  const IntLanes down = load_ints(after + g);
  if constexpr (larger_first_only) {
    // Not idle: some neighbour labelled below it, or not at all. Labels are
    // not negative, so such a gate is labelled itself: four comparisons,
    // where the test as written (labelled and not idle) took a dozen
    // operations on SSE2, which has no "at least".
    return (a > left) | (a > right) | (a > up) | (a > down);
  } else {
    return ~((a == 0) | idle<false>(a, left, right, up, down));
  }
}

// Writes to `gates` the labelled gates of one ray whose walks may find a
// contact, all but the idle ones, and returns their number. `before` and
// `after` are the labels of the previous and next ray, null on the first and
// last ray of the sweep, where no gate counts as idle (nor at either end of
// a ray). `gates` needs room for eight more than the ray's gates.
template <bool larger_first_only>
std::size_t active_gates(const std::int32_t* before, const std::int32_t* here,
                         const std::int32_t* after, std::size_t ngates, std::uint32_t* gates) {
  std::size_t count = 0;
  auto keep_if_labelled = [&](std::size_t g) {
    gates[count] = static_cast<std::uint32_t>(g);
    count += here[g] != 0 ? 1 : 0;
  };
  if (before == nullptr || after == nullptr || ngates < 3) {
    for (std::size_t g = 0; g < ngates; ++g) keep_if_labelled(g);
    return count;
  }
  const auto visited_at = [&](std::size_t g) {
    return visited_lanes<larger_first_only>(before, here, after, g);
  };
  keep_if_labelled(0);
  std::size_t g = 1;
  constexpr std::size_t step = 16;
  for (; g + step < ngates; g += step) {
    // Stretches with no region (gaps in the echo) have nothing to visit.
    const IntLanes any = load_ints(here + g) | load_ints(here + g + 4) |
                         load_ints(here + g + 8) | load_ints(here + g + 12);
    if (lanes::mask_bits(any == IntLanes{0, 0, 0, 0}) == 0xfu) continue;
    // Bit k set: gate g + k to visit.
    const unsigned bits = lanes::mask_bits(visited_at(g), visited_at(g + 4), visited_at(g + 8),
                                           visited_at(g + 12));
    const auto at = static_cast<std::uint32_t>(g);
    count += lanes::set_bit_positions(bits & 0xffu, at, gates + count);
    count += lanes::set_bit_positions(bits >> 8, at + 8, gates + count);
  }
  for (; g + 1 < ngates; ++g) {
    const std::int32_t a = here[g];
    gates[count] = static_cast<std::uint32_t>(g);
    count += a != 0 && !idle<larger_first_only>(a, here[g - 1], here[g + 1], before[g], after[g])
                 ? 1
                 : 0;
  }
  keep_if_labelled(ngates - 1);
  return count;
}

// One contact: the pair's sort key (second region in the high bits, first
// region in the low `region_bits`) and both velocities as measured (widened
// when summed, which is exact). Keys of 32 bits while both region numbers
// fit in 16: 12 bytes a sample instead of 16, a quarter less memory to write,
// sort and touch fresh.
template <class Key>
struct Sample {
  Key key;
  float vel_a;
  float vel_b;
};

// The samples of one scan, in scan order, in blocks so that the list grows
// without copying and without a counting walk before the real one. Samples
// are written straight to the last block, each one whether it is wanted or
// not, and kept by moving the end on: no branch to mispredict on the mix of
// regions. A block with no room for the four samples of another gate is
// closed, its last places filled with void samples. A walk whose end lies
// further on in the scan holds its place with a void sample and settles it
// when its end is reached; a void sample stands for no contact, and its key
// (both regions 2^region_bits - 1) is no pair's.
template <bool larger_first, class Key>
class SampleList {
 public:
  using Sample = vornak::Sample<Key>;
  static constexpr bool larger_first_only = larger_first;

  // Blocks of at least 64 KiB, which allocators map and unmap on their own
  // rather than leave in the heap.
  static constexpr std::size_t block_size = std::bit_ceil((std::size_t{1} << 16) / sizeof(Sample));

  SampleList(std::span<const std::int32_t> labels, std::span<const float> vel,
             unsigned region_bits)
      : labels_(labels),
        vel_(vel),
        region_bits_(region_bits),
        void_key_(static_cast<Key>(all_ones(region_bits) << key_shift(region_bits) |
                                   all_ones(region_bits))) {
    if constexpr (counts_regions) {
      per_region_ = zeros<std::size_t>((std::size_t{1} << region_bits) + 1);
    }
  }

  // With keys of 32 bits the samples are counted per region_b as they are
  // kept or settled, while they are in cache: per_region()[b + 1] counts
  // region b's; void samples are not counted.
  static constexpr bool counts_regions = sizeof(Key) <= sizeof(std::uint32_t);

  // Where region_b starts in a key: at bit 16 in keys of 32 bits, whatever
  // the regions' count, so that every key is made and taken apart by shifts
  // of a constant (one operation on x86-64, where a shift by a variable
  // takes three, some million times a call); in wider keys, just above
  // region_a's `region_bits`, as their radix sort needs.
  static constexpr unsigned key_shift(unsigned region_bits) noexcept {
    return sizeof(Key) <= sizeof(std::uint32_t) ? 16 : region_bits;
  }
  static constexpr std::uint64_t all_ones(unsigned bits) noexcept {
    return (std::uint64_t{1} << bits) - 1;
  }
  [[nodiscard]] std::span<std::size_t> per_region() noexcept { return per_region_; }

  // Where the next samples go: after the kept ones, in a block with room for
  // a gate's four.
  [[nodiscard]] Sample* staged() {
    if (fill_ > block_size - 4) {
      if (!blocks_.empty()) {
        std::fill(blocks_.back().begin() + static_cast<std::ptrdiff_t>(fill_),
                  blocks_.back().end(), Sample{void_key_, 0.0f, 0.0f});
      }
      blocks_.push_back(uninitialized<Sample>(block_size));
      fill_ = 0;
    }
    return blocks_.back().data() + fill_;
  }
  // Whether a gate's four samples may not fit after `end`.
  [[nodiscard]] bool crowded(const Sample* end) const noexcept {
    return static_cast<std::size_t>(end - blocks_.back().data()) > block_size - 4;
  }
  // Keeps the samples written up to `end`; the next ones go to staged().
  void keep(const Sample* end) noexcept {
    const Sample* const kept = blocks_.back().data() + fill_;
    if constexpr (counts_regions) {
      for (const Sample* s = kept; s != end; ++s) {
        per_region_[(s->key >> key_shift(region_bits_)) + 1] += s->key != void_key_ ? 1 : 0;
      }
    }
    fill_ += static_cast<std::size_t>(end - kept);
  }

  // The contact from gate i to gate j, found in scan order; no sample when
  // j is i.
  [[nodiscard]] Sample* add(Sample* out, std::size_t i, std::size_t j) const noexcept {
    const std::int32_t a = labels_[i];
    const std::int32_t b = labels_[j];
    *out = Sample{key(a, b), vel_[i], vel_[j]};
    return out + (wanted(a, b) ? 1 : 0);
  }
  // Holds the place of a walk that ends later in the scan, in `slot`.
  [[nodiscard]] Sample* hold(Sample* out, std::size_t& slot) const noexcept {
    slot = (blocks_.size() - 1) * block_size + static_cast<std::size_t>(out - blocks_.back().data());
    *out = Sample{void_key_, 0.0f, 0.0f};
    return out + 1;
  }
  // The walk from gate i that held `slot` (a kept one) ends at gate j.
  void settle(std::size_t slot, std::size_t i, std::size_t j) noexcept {
    const std::int32_t a = labels_[i];
    const std::int32_t b = labels_[j];
    if (wanted(a, b)) {
      blocks_[slot / block_size][slot % block_size] = Sample{key(a, b), vel_[i], vel_[j]};
      if constexpr (counts_regions) ++per_region_[static_cast<std::size_t>(b) + 1];
    }
  }

  [[nodiscard]] Key void_key() const noexcept { return void_key_; }
  [[nodiscard]] std::size_t block_count() const noexcept { return blocks_.size(); }
  [[nodiscard]] std::span<const Sample> block(std::size_t k) const noexcept {
    return std::span<const Sample>(blocks_[k]).first(k + 1 == blocks_.size() ? fill_
                                                                             : block_size);
  }
  [[nodiscard]] std::span<Sample> block(std::size_t k) noexcept {
    return std::span<Sample>(blocks_[k]).first(k + 1 == blocks_.size() ? fill_ : block_size);
  }
  [[nodiscard]] Buffer<Sample> take_block(std::size_t k) noexcept { return std::move(blocks_[k]); }

 private:
  // A contact within a region gives no sample, nor one from the smaller
  // region when only boundaries count.
  static bool wanted(std::int32_t a, std::int32_t b) noexcept {
    return b != a && (!larger_first || b < a);
  }
  Key key(std::int32_t a, std::int32_t b) const noexcept {
    return static_cast<Key>(static_cast<Key>(b) << key_shift(region_bits_) | static_cast<Key>(a));
  }

  std::span<const std::int32_t> labels_;
  std::span<const float> vel_;
  unsigned region_bits_;
  Key void_key_;
  Buffer<Buffer<Sample>> blocks_;
  Buffer<std::size_t> per_region_;
  std::size_t fill_ = block_size;
};

// The walks of the scan: every labelled gate, in ray-major order, looks for
// the first labelled gate toward the previous ray, the next ray, the previous
// gate and the next gate, in that order, and each one found becomes a sample
// in that order. Idle gates are not visited: they find no contact that is
// wanted (idle).
//
// No walk steps over unlabelled gates. A labelled adjacent gate ends it at
// once. Otherwise it ends on the nearest labelled gate of its column or ray
// beyond the gap, which has an unlabelled adjacent gate and so is visited:
// backwards, that gate left its position behind; along the ray, it is the
// visited gate before or after this one; toward the next ray, it is visited
// later and settles the place that this walk held. Walks round the end of
// the sweep are settled when the scan is over.
template <class Samples>
void walk_contacts(std::span<const std::int32_t> labels, std::size_t nrays, std::size_t ngates,
                   bool rays_wrap_around, std::uint64_t across, std::uint64_t along,
                   Samples& samples) {
  constexpr std::size_t no_slot = std::numeric_limits<std::size_t>::max();
  const auto no_ray = static_cast<std::uint32_t>(nrays);
  // Per gate column: the last labelled ray so far and the place held by its
  // walk toward the next ray; with wrap-around also the first labelled ray
  // and the place held by its walk toward the previous ray.
  Buffer<std::uint32_t> previous_ray = filled<std::uint32_t>(ngates, no_ray);
  Buffer<std::size_t> next_slot = filled<std::size_t>(ngates, no_slot);
  Buffer<std::uint32_t> first_ray;
  Buffer<std::size_t> round_slot;
  if (rays_wrap_around) {
    first_ray = filled<std::uint32_t>(ngates, no_ray);
    round_slot = filled<std::size_t>(ngates, no_slot);
  }

  // Room for eight stores past the last gate (active_gates).
  Buffer<std::uint32_t> gates = zeros<std::uint32_t>(ngates + 8);
  const std::int32_t* const all = labels.data();
  for (std::size_t r = 0; r < nrays; ++r) {
    const std::size_t row = r * ngates;
    const std::int32_t* const here = all + row;
    const std::int32_t* const before = r > 0 ? here - ngates : nullptr;
    const std::int32_t* const after = r + 1 < nrays ? here + ngates : nullptr;
    const std::size_t active =
        active_gates<Samples::larger_first_only>(before, here, after, ngates, gates.data());
    auto* out = samples.staged();
    for (std::size_t k = 0; k < active; ++k) {
      if (samples.crowded(out)) {
        samples.keep(out);
        out = samples.staged();
      }
      const std::size_t g = gates[k];
      const std::size_t i = row + g;

      if (before != nullptr && before[g] != 0) {
        out = samples.add(out, i, i - ngates);
      } else if (previous_ray[g] != no_ray) {
        // Across the gap to the previous labelled ray, and back.
        const std::size_t p = previous_ray[g] * ngates + g;
        if (r - previous_ray[g] <= across) {
          samples.settle(next_slot[g], p, i);
          out = samples.add(out, i, p);
        }
        next_slot[g] = no_slot;
      } else if (rays_wrap_around) {
        // Round the end to the last labelled ray, which may be this one.
        first_ray[g] = static_cast<std::uint32_t>(r);
        out = samples.hold(out, round_slot[g]);
      }

      if (after != nullptr && after[g] != 0) {
        out = samples.add(out, i, i + ngates);
      } else if (after != nullptr ? across > 1 : rays_wrap_around) {
        out = samples.hold(out, next_slot[g]);
      }

      // Along the ray the nearest labelled gate is the adjacent one or the
      // visited one beyond the gap; none (this gate itself) at either end.
      const std::size_t left =
          g > 0 && here[g - 1] != 0 ? g - 1 : (k > 0 ? gates[k - 1] : g);
      out = samples.add(out, i, g - left <= along ? row + left : i);
      const std::size_t right =
          g + 1 < ngates && here[g + 1] != 0 ? g + 1 : (k + 1 < active ? gates[k + 1] : g);
      out = samples.add(out, i, right - g <= along ? row + right : i);

      previous_ray[g] = static_cast<std::uint32_t>(r);
    }
    samples.keep(out);
  }

  // Walks round the end of the sweep, from the last labelled ray of a column
  // to its first and back.
  if (!rays_wrap_around) return;
  for (std::size_t g = 0; g < ngates; ++g) {
    if (previous_ray[g] == no_ray) continue;
    const std::size_t last = previous_ray[g] * ngates + g;
    const std::size_t first = first_ray[g] * ngates + g;
    if (first_ray[g] + nrays - previous_ray[g] <= across) {
      samples.settle(next_slot[g], last, first);
      samples.settle(round_slot[g], first, last);
    }
  }
}

constexpr unsigned widest_digit = 11;

// Bucket starts for a stable radix pass over `samples` on the digit
// (key >> shift) & (buckets - 1), written to `heads` (`buckets` entries).
template <class Sample>
void bucket_heads(std::span<Sample> samples, unsigned shift, std::size_t buckets,
                  std::size_t* heads) {
  std::fill(heads, heads + buckets, std::size_t{0});
  for (const Sample& s : samples) ++heads[(s.key >> shift) & (buckets - 1)];
  std::size_t sum = 0;
  for (std::size_t d = 0; d < buckets; ++d) sum += std::exchange(heads[d], sum);
}

// Stable sort of a few samples by key, by insertion: for a handful of them
// it costs less than clearing and summing the heads of even one radix pass.
template <class Sample>
void insertion_sort(std::span<Sample> samples) noexcept {
  for (std::size_t c = 1; c < samples.size(); ++c) {
    const Sample s = samples[c];
    std::size_t d = c;
    for (; d > 0 && samples[d - 1].key > s.key; --d) samples[d] = samples[d - 1];
    samples[d] = s;
  }
}

// Digits about as wide as the samples are many: clearing and summing the
// heads of a pass then costs no more than moving the samples.
unsigned digit_width(std::size_t samples, unsigned key_bits) noexcept {
  return std::min(key_bits, std::clamp(static_cast<unsigned>(std::bit_width(samples)) - 1, 4u,
                                       widest_digit));
}

// Stable sort of samples whose keys differ only in their low `key_bits` bits,
// by least-significant-digit radix passes through `spare`.
template <class Sample>
void sort_by_low_bits(std::span<Sample> bucket, unsigned key_bits, Sample* spare,
                      std::size_t* heads) {
  if (bucket.size() <= 16) {
    insertion_sort(bucket);
    return;
  }
  const unsigned widest = digit_width(bucket.size(), key_bits);
  const unsigned passes = (key_bits + widest - 1) / widest;
  const unsigned digit_bits = (key_bits + passes - 1) / passes;
  const std::size_t buckets = std::size_t{1} << digit_bits;
  std::span<Sample> from = bucket;
  std::span<Sample> to(spare, bucket.size());
  for (unsigned p = 0; p < passes; ++p) {
    const unsigned shift = p * digit_bits;
    bucket_heads(from, shift, buckets, heads);
    for (const Sample& s : from) to[heads[(s.key >> shift) & (buckets - 1)]++] = s;
    std::swap(from, to);
  }
  if (from.data() != bucket.data()) std::copy(from.begin(), from.end(), bucket.begin());
}

// The number of distinct keys among sorted samples.
template <class Sample>
std::size_t distinct_keys(std::span<const Sample> sorted) noexcept {
  std::size_t count = sorted.empty() ? 0 : 1;
  for (std::size_t c = 1; c < sorted.size(); ++c) count += sorted[c].key != sorted[c - 1].key;
  return count;
}

// Samples sorted by key, and how many distinct keys they hold.
template <class Sample>
struct Sorted {
  Buffer<Sample> samples;
  std::size_t keys = 0;
};

// The samples of a scan, void ones left out, sorted stably by key. One
// radix pass on the highest digit into a contiguous buffer, then each bucket
// sorted on its own while it is in cache. Digits of at most 11 bits keep the
// bucket heads in the first-level cache and the write streams few, where
// bucketing by whole region numbers scatters across the sweep once regions
// run to hundreds of thousands.
template <class Samples, class Sample = typename Samples::Sample>
Sorted<Sample> sort_samples(Samples& samples, unsigned key_bits) {
  const unsigned top_bits = std::min(key_bits, widest_digit);
  const unsigned shift = key_bits - top_bits;
  const std::size_t buckets = std::size_t{1} << top_bits;
  const auto void_key = samples.void_key();

  Buffer<std::size_t> heads = zeros<std::size_t>(buckets + 1);
  for (std::size_t k = 0; k < samples.block_count(); ++k) {
    for (const Sample& s : samples.block(k)) {
      if (s.key != void_key) ++heads[(s.key >> shift) + 1];
    }
  }
  for (std::size_t d = 1; d <= buckets; ++d) heads[d] += heads[d - 1];
  Buffer<std::size_t> ends(heads.begin() + 1, heads.end());

  Buffer<Sample> sorted = uninitialized<Sample>(heads[buckets]);
  for (std::size_t k = 0; k < samples.block_count(); ++k) {
    for (const Sample& s : samples.block(k)) {
      if (s.key != void_key) sorted[heads[s.key >> shift]++] = s;
    }
    Buffer<Sample> released = samples.take_block(k);
  }
  if (shift > 0) {
    std::size_t largest = 0;
    for (std::size_t d = 0; d < buckets; ++d) {
      largest = std::max(largest, ends[d] - (d == 0 ? 0 : ends[d - 1]));
    }
    Buffer<Sample> spare = uninitialized<Sample>(largest);
    Buffer<std::size_t> digit_heads = zeros<std::size_t>(std::size_t{1} << widest_digit);
    std::size_t begin = 0;
    for (std::size_t d = 0; d < buckets; ++d) {
      sort_by_low_bits(std::span<Sample>(sorted).subspan(begin, ends[d] - begin), shift,
                       spare.data(), digit_heads.data());
      begin = ends[d];
    }
  }
  const std::size_t keys = distinct_keys(std::span<const Sample>(sorted));
  return {std::move(sorted), keys};
}

// Sorts region numbers below 2^16 by two radix passes of eight bits: the
// many neighbours of a large region, where a comparison sort's branches
// mispredict at every other step.
void sort_region_numbers(Buffer<std::uint32_t>& numbers) {
  Buffer<std::uint32_t> other = uninitialized<std::uint32_t>(numbers.size());
  for (const unsigned shift : {0u, 8u}) {
    std::array<std::uint32_t, 257> start{};
    for (const std::uint32_t x : numbers) ++start[((x >> shift) & 0xffu) + 1];
    for (std::size_t d = 1; d < start.size(); ++d) start[d] += start[d - 1];
    for (const std::uint32_t x : numbers) other[start[(x >> shift) & 0xffu]++] = x;
    numbers.swap(other);
  }
}

// The sums of one pair's velocities so far.
struct PairSums {
  double a = 0.0;
  double b = 0.0;
};

// The samples of one region_b, in scan order, condensed per region_a and
// appended to `edges` in ascending region_a: each region_a counted and its
// sums added up in scan order, by counters and sums per region_a (`at` and
// `sums`, clear on entry and on return); the few regions present are listed
// as first met and sorted.
template <class Sample>
void condense_region(std::span<const Sample> bucket, std::int32_t region_b, unsigned region_bits,
                     std::size_t* at, PairSums* sums, Buffer<std::uint32_t>& present,
                     Edges& edges) {
  const std::uint64_t low = (std::uint64_t{1} << region_bits) - 1;
  present.clear();
  for (const Sample& s : bucket) {
    const auto a = static_cast<std::size_t>(s.key & low);
    if (at[a]++ == 0) present.push_back(static_cast<std::uint32_t>(a));
    sums[a].a += widen(s.vel_a);
    sums[a].b += widen(s.vel_b);
  }
  // A region has a handful of neighbours: insertion sorts them fastest.
  if (present.size() <= 32) {
    for (std::size_t c = 1; c < present.size(); ++c) {
      const std::uint32_t a = present[c];
      std::size_t d = c;
      for (; d > 0 && present[d - 1] > a; --d) present[d] = present[d - 1];
      present[d] = a;
    }
  } else {
    sort_region_numbers(present);
  }
  for (const std::uint32_t a : present) {
    edges.region_a.push_back(static_cast<std::int32_t>(a));
    edges.region_b.push_back(region_b);
    // The count as added up one by one in 32 bits, wrapping.
    edges.count.push_back(static_cast<std::int32_t>(static_cast<std::uint32_t>(at[a])));
    edges.sum_a.push_back(sums[a].a);
    edges.sum_b.push_back(sums[a].b);
    at[a] = 0;
    sums[a] = PairSums{};
  }
}

// The samples condensed per pair, for keys of at most 32 bits: counted (as
// they are kept) and placed per region_b, then every region's handful
// condensed per region_a while in cache. With at most 2^16 regions the
// counters stay in the second-level cache; the samples keep no other order
// than that of the scan.
template <class Samples, class Sample = typename Samples::Sample>
Edges condense_by_region(Samples& samples, std::int32_t largest, unsigned region_bits) {
  const auto void_key = samples.void_key();
  // After the placing pass heads[b] is where region b's samples end.
  const std::span<std::size_t> heads =
      samples.per_region().first(static_cast<std::size_t>(largest) + 2);
  for (std::size_t b = 1; b < heads.size(); ++b) heads[b] += heads[b - 1];
  Buffer<Sample> placed = uninitialized<Sample>(heads.back());
  for (std::size_t k = 0; k < samples.block_count(); ++k) {
    for (const Sample& s : samples.block(k)) {
      if (s.key != void_key) {
        placed[heads[static_cast<std::size_t>(s.key >> Samples::key_shift(region_bits))]++] = s;
      }
    }
    Buffer<Sample> released = samples.take_block(k);
  }

  // Room for the pairs as smooth sweeps have them, some ten samples each;
  // more take the usual growth.
  Edges edges;
  const std::size_t expected = heads.back() / 8;
  edges.region_a.reserve(expected);
  edges.region_b.reserve(expected);
  edges.count.reserve(expected);
  edges.sum_a.reserve(expected);
  edges.sum_b.reserve(expected);
  Buffer<std::size_t> at = zeros<std::size_t>(heads.size());
  Buffer<PairSums> sums = filled<PairSums>(heads.size(), PairSums{});
  Buffer<std::uint32_t> present;
  std::size_t begin = 0;
  for (std::size_t b = 0; b + 1 < heads.size(); ++b) {
    const std::size_t end = heads[b];
    if (end == begin) continue;
    condense_region(std::span<const Sample>(placed).subspan(begin, end - begin),
                    static_cast<std::int32_t>(b), region_bits, at.data(), sums.data(), present,
                    edges);
    begin = end;
  }
  return edges;
}

// The contacts of the scan with keys of type Key, condensed per pair.
template <bool larger_first_only, class Key>
Edges tally_contacts(std::span<const std::int32_t> labels, std::span<const float> vel,
                     std::size_t nrays, std::size_t ngates, bool rays_wrap_around,
                     std::int64_t skip_between_rays, std::int64_t skip_along_ray,
                     std::int32_t largest, unsigned region_bits) {
  using Samples = SampleList<larger_first_only, Key>;
  Samples samples(labels, vel, region_bits);
  walk_contacts(labels, nrays, ngates, rays_wrap_around, walk_length(skip_between_rays),
                walk_length(skip_along_ray), samples);

  if constexpr (Samples::counts_regions) {
    return condense_by_region(samples, largest, region_bits);
  } else {
    const Sorted<typename Samples::Sample> sorted = sort_samples(samples, 2 * region_bits);

    // Each entry written once, its sums added up from zero in scan order.
    Edges edges;
    edges.region_a.reserve(sorted.keys);
    edges.region_b.reserve(sorted.keys);
    edges.count.reserve(sorted.keys);
    edges.sum_a.reserve(sorted.keys);
    edges.sum_b.reserve(sorted.keys);
    const std::span<const typename Samples::Sample> all = sorted.samples;
    const std::uint64_t low = (std::uint64_t{1} << region_bits) - 1;
    for (std::size_t c = 0; c < all.size();) {
      const Key key = all[c].key;
      std::int32_t count = 0;
      double sum_a = 0.0;
      double sum_b = 0.0;
      for (; c < all.size() && all[c].key == key; ++c) {
        count = wrapping_add(count, std::int32_t{1});
        sum_a += widen(all[c].vel_a);
        sum_b += widen(all[c].vel_b);
      }
      edges.region_a.push_back(static_cast<std::int32_t>(key & low));
      edges.region_b.push_back(static_cast<std::int32_t>(key >> region_bits));
      edges.count.push_back(count);
      edges.sum_a.push_back(sum_a);
      edges.sum_b.push_back(sum_b);
    }
    return edges;
  }
}

// Contacts are collected in scan order and condensed per pair, in (region_b,
// region_a) order: sorted stably by pair and each run of one pair condensed
// into one entry, or with narrow keys placed per region_b and each region's
// condensed per region_a. Either way the sums add each pair's contacts in
// scan order.
// `largest` is at least the largest label.
template <bool larger_first_only>
Edges scan_edges(std::span<const std::int32_t> labels, std::int32_t largest,
                 std::span<const float> vel, std::size_t nrays, std::size_t ngates,
                 bool rays_wrap_around, std::int64_t skip_between_rays,
                 std::int64_t skip_along_ray) {
  const std::size_t n = gate_count(nrays, ngates);
  labels = labels.first(n);
  vel = vel.first(n);
  Edges edges;
  if (n == 0 || largest < 2) return edges;
  const auto region_bits =
      static_cast<unsigned>(std::bit_width(static_cast<std::uint32_t>(largest)));

  // Both region numbers in a 32-bit key while they fit in 16 bits each.
  if (region_bits <= 16) {
    return tally_contacts<larger_first_only, std::uint32_t>(
        labels, vel, nrays, ngates, rays_wrap_around, skip_between_rays, skip_along_ray, largest,
        region_bits);
  }
  return tally_contacts<larger_first_only, std::uint64_t>(labels, vel, nrays, ngates,
                                                          rays_wrap_around, skip_between_rays,
                                                          skip_along_ray, largest, region_bits);
}

// The largest label, after checking the buffers' lengths and that no label
// is negative.
std::int32_t checked_largest_label(std::span<const std::int32_t> labels,
                                   std::span<const float> vel, std::size_t nrays,
                                   std::size_t ngates) {
  const std::size_t n = gate_count(nrays, ngates);
  require_length(labels.size(), n, "labels");
  require_length(vel.size(), n, "vel");
  std::int32_t largest = 0;
  std::int32_t smallest = 0;
  for (const std::int32_t label : labels.first(n)) {
    largest = std::max(largest, label);
    smallest = std::min(smallest, label);
  }
  if (smallest < 0) fail_index("index out of range: a region label is negative");
  return largest;
}

}  // namespace

Edges find_edges(std::span<const std::int32_t> labels, std::span<const float> vel,
                 std::size_t nrays, std::size_t ngates, bool rays_wrap_around,
                 std::int64_t skip_between_rays, std::int64_t skip_along_ray) {
  const std::int32_t largest = checked_largest_label(labels, vel, nrays, ngates);
  return scan_edges<false>(labels, largest, vel, nrays, ngates, rays_wrap_around,
                           skip_between_rays, skip_along_ray);
}

Edges find_boundaries(std::span<const std::int32_t> labels, std::span<const float> vel,
                      std::size_t nrays, std::size_t ngates, bool rays_wrap_around,
                      std::int64_t skip_between_rays, std::int64_t skip_along_ray) {
  const std::int32_t largest = checked_largest_label(labels, vel, nrays, ngates);
  return scan_edges<true>(labels, largest, vel, nrays, ngates, rays_wrap_around,
                          skip_between_rays, skip_along_ray);
}

Edges find_boundaries(std::span<const std::int32_t> labels, std::int32_t region_count,
                      std::span<const float> vel, std::size_t nrays, std::size_t ngates,
                      bool rays_wrap_around, std::int64_t skip_between_rays,
                      std::int64_t skip_along_ray) {
  const std::size_t n = gate_count(nrays, ngates);
  require_length(labels.size(), n, "labels");
  require_length(vel.size(), n, "vel");
  return scan_edges<true>(labels, region_count, vel, nrays, ngates, rays_wrap_around,
                          skip_between_rays, skip_along_ray);
}

}  // namespace vornak
