// Nearby echo in one pass over a sweep: its valid gates as compact vectors,
// echo components by union-find over runs (as echo_components), then the
// pairs of the few gates of small areas with the large echo in reach, found
// by searching the neighbouring rays' gates (sorted along each ray). The
// sums of the VAD rings for the centring check are taken in the same pass;
// they are handed back only where some area moves.
#include "vornak/anchor_nearby.hpp"
#include "vornak/anchor_rings.hpp"
#include "vornak/anchor_runs.hpp"
#include "vornak/numeric.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

namespace vornak::anchor {

namespace {

using I32 = std::int32_t;
using I64 = std::int64_t;

// A rounded value as int64, as the x86 conversion NumPy uses gives it: the
// smallest int64 for NaN and values out of range.
I64 to_int64(double x) noexcept {
  constexpr double bound = 9223372036854775808.0;  // 2^63
  return x >= -bound && x < bound ? static_cast<I64>(x) : std::numeric_limits<I64>::min();
}

// An array of trivial values left uninitialised: every element used is
// written first, and zeroing the whole would cost a pass of its own.
template <class T>
class Buffer {
 public:
  // `size` elements, in the memory held already where it is enough.
  void fit(std::size_t size) {
    if (size > capacity_) {
      data_.reset();  // before the new one: never both at once
      capacity_ = 0;  // nothing held, should the allocation fail
      data_.reset(new T[size]);
      capacity_ = size;
    }
    size_ = size;
  }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  [[nodiscard]] const T* begin() const noexcept { return data_.get(); }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }

 private:
  std::unique_ptr<T[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Gates along the ray per entry of Echo::stretch_start.
constexpr std::size_t stretch = 16;
static_assert(stretch % 8 == 0, "a stretch begins where a word of 8 cells does");

// The valid gates of a sweep, ray-major: gate along the ray, dealiased
// velocity, run; where each ray's gates and each run's begin, and where the
// gates of each stretch of 16 along a ray begin (to find a gate on a ray
// without a search).
// Sized for every cell of the sweep, used for the valid ones.
struct Echo {
  void fit(std::size_t cells, std::size_t rays, std::size_t gates) {
    gate.fit(cells + 1);
    velocity.fit(cells + 1);
    run.fit(cells + 1);
    ray_start.fit(rays + 1);
    run_start.fit(cells + 2);
    stretches = (gates + stretch - 1) / stretch;
    stretch_start.fit(rays * stretches + 1);
    count = runs = 0;
  }
  Buffer<I32> gate;
  Buffer<float> velocity;
  Buffer<I32> run;
  Buffer<std::size_t> ray_start;  // rays + 1
  Buffer<std::size_t> run_start;  // runs + 1
  std::size_t stretches = 0;
  Buffer<std::size_t> stretch_start;  // per ray, per stretch
  std::size_t count = 0;              // valid gates
  std::size_t runs = 0;

  // The first valid gate at or beyond `gate` on `ray` (the ray's end where none).
  [[nodiscard]] std::size_t first_from(std::size_t ray, std::size_t at) const noexcept {
    std::size_t i = stretch_start[ray * stretches + at / stretch];
    const std::size_t end = ray_start[ray + 1];
    while (i < end && static_cast<std::size_t>(gate[i]) < at) ++i;
    return i;
  }
};

// 0x80 in each byte of `word` that is zero, 0 in the others (exact: no
// borrow runs from one byte into the next).
constexpr std::uint64_t zero_bytes(std::uint64_t word) noexcept {
  constexpr std::uint64_t low = 0x7F7F7F7F7F7F7F7FULL;
  return ~(((word & low) + low) | word | low);
}

// The position in memory (0 to 7) of the first byte flagged in `flags`
// (from zero_bytes), which is then cleared.
inline std::size_t take_lowest_byte(std::uint64_t& flags) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    const auto at = static_cast<std::size_t>(std::countr_zero(flags)) / 8;
    flags &= flags - 1;
    return at;
  } else {
    const auto at = static_cast<std::size_t>(std::countl_zero(flags)) / 8;
    flags &= ~(std::uint64_t{0x80} << (8 * (7 - at)));
    return at;
  }
}

// Whether the `stretch` excluded flags from `cells` on are all odd (all
// set, for bool flags): one test for a stretch.
inline bool all_excluded(const std::uint8_t* cells) noexcept {
  std::uint64_t both = ~std::uint64_t{0};
  for (std::size_t w = 0; w < stretch / 8; ++w) {
    std::uint64_t word = 0;
    std::memcpy(&word, cells + 8 * w, 8);
    both &= word;
  }
  return (both & 0x0101010101010101ULL) == 0x0101010101010101ULL;
}

// The running sums of the centring check's VAD fit, ring by ring: taken
// on the way through the valid gates, ray by ray and along each ray, the
// order in which a pass over the rings' cells alone would add them.
struct Centring {
  Centring(std::size_t gates, std::size_t step)
      : step(step), sums((gates + step - 1) / step, RingMoments{}), count(sums.size(), 0), seen(sums.size() * 8, 0) {}
  std::size_t step;
  std::vector<RingMoments> sums;
  std::vector<std::int64_t> count;
  std::vector<std::uint8_t> seen;

  // Whether ring k is fitted: echo in enough sectors, enough gates.
  [[nodiscard]] bool fitted(const RingCells& rings, std::size_t k) const noexcept {
    int sectors = 0;
    for (std::size_t q = 0; q < 8; ++q) sectors += seen[k * 8 + q];
    return sectors >= rings.min_sectors && count[k] >= rings.min_gates;
  }

  [[nodiscard]] std::int64_t fitted_rings(const RingCells& rings) const noexcept {
    std::int64_t n = 0;
    for (std::size_t k = 0; k < sums.size(); ++k) n += fitted(rings, k) ? 1 : 0;
    return n;
  }

  // The fitted rings' normal equations, appended.
  void equations(const RingCells& rings, std::vector<double>& normal, std::vector<double>& rhs) const {
    for (std::size_t k = 0; k < sums.size(); ++k) {
      if (fitted(rings, k)) append_normal_equations(sums[k], count[k], normal, rhs);
    }
  }
};

template <class Velocity, class Fold>
void valid_gates(Grid<const std::uint8_t> excluded, const Velocity* velocity, const Fold* folds, double span,
                 const Joining& joining, const RingCells& rings, Centring& centring, Echo& echo) {
  echo.fit(excluded.data.size(), excluded.rays, excluded.gates);
  // Eight cells at a time: those without echo passed over at once (most of
  // a sparse sweep), the valid ones among the rest taken one by one, their
  // positions found from the word of their excluded flags. A run (a ray's
  // gates joined one to the next along it) starts at the first gate of a
  // ray, after a gap or at a jump.
  constexpr std::uint64_t none = 0x0101010101010101ULL;
  const I64 step = joining.gap + 1;
  std::size_t k = 0, runs = 0;
  for (std::size_t r = 0; r < excluded.rays; ++r) {
    const std::size_t ray_first = k;
    echo.ray_start[r] = k;
    const std::uint8_t* row = excluded.data.data() + r * excluded.gates;
    const Velocity* vel = velocity + r * excluded.gates;
    const Fold* fold = folds + r * excluded.gates;
    I64 last_gate = 0;
    float last = 0.0F;
    const double c = rings.cos_az[r], s = rings.sin_az[r];
    const auto sector = static_cast<std::size_t>(rings.sector[r]);
    for (std::size_t g0 = 0; g0 < excluded.gates; g0 += 8) {
      if (g0 % stretch == 0) {
        // A whole stretch without echo at once (each flag 1, or at least
        // odd: excluded either way).
        while (g0 + stretch <= excluded.gates && all_excluded(row + g0)) {
          echo.stretch_start[r * echo.stretches + g0 / stretch] = k;
          g0 += stretch;
        }
        if (g0 >= excluded.gates) break;
        echo.stretch_start[r * echo.stretches + g0 / stretch] = k;
      }
      const std::size_t g1 = std::min(g0 + 8, excluded.gates);
      std::uint64_t word = none;  // past the ray's end: excluded
      if (g1 == g0 + 8) {
        std::memcpy(&word, row + g0, 8);
      } else {
        std::memcpy(&word, row + g0, g1 - g0);
      }
      if (word == none) continue;
      const auto take = [&](std::size_t g) {
        const float v = unfolded(vel[g], fold[g], span);
        const auto at = static_cast<I64>(g);
        const bool starts = (k == ray_first) | (at - last_gate > step) | (std::fabs(v - last) > joining.limit);
        echo.run_start[runs] = k;
        runs += starts ? 1 : 0;
        echo.gate[k] = static_cast<I32>(g);
        echo.velocity[k] = v;
        echo.run[k] = static_cast<I32>(runs) - 1;
        last_gate = at;
        last = v;
        ++k;
      };
      if (word == 0) {  // all eight with echo, as in most words of dense echo
        for (std::size_t g = g0; g < g0 + 8; ++g) take(g);
      } else {
        // Where echo is sparse a third of such a word's cells have none:
        // neither read nor written.
        for (std::uint64_t valid = zero_bytes(word); valid != 0;) take(g0 + take_lowest_byte(valid));
      }
      // The ring cells among these, while they are at hand.
      // The ring counted along with the gate: a division per ring cell
      // is a good part of this loop.
      std::size_t ring = (g0 + centring.step - 1) / centring.step;
      for (std::size_t g = ring * centring.step; g < g1; g += centring.step, ++ring) {
        if (row[g] != 0) continue;
        const auto v = static_cast<double>(unfolded(vel[g], fold[g], span));
        ++centring.count[ring];
        add_ring_gate(centring.sums[ring], c, s, v);
        centring.seen[ring * 8 + sector] = 1;
      }
    }
  }
  echo.ray_start[excluded.rays] = k;
  echo.run_start[runs] = k;
  echo.count = k;
  echo.runs = runs;
}

// The valid gates' buffers of this thread, kept for its next sweep: fresh,
// their pages would be faulted in anew at every call (some 2 us a page on a
// virtual machine, a good part of the step on a large sweep). They hold
// some 20 bytes a gate of the largest sweep the thread has seen, until it
// ends. Not inlined: the thread's storage is then looked up once a call,
// not in the loops.
[[gnu::noinline]] Echo& thread_echo() {
  thread_local Echo echo;
  return echo;
}

// Component of each run: runs joined across rays at the same gate.
std::vector<I32> run_components(const Echo& echo, std::size_t rays, const Joining& joining) {
  const std::size_t runs = echo.runs;
  std::vector<I32> parent(runs);
  for (std::size_t k = 0; k < runs; ++k) parent[k] = static_cast<I32>(k);
  join_runs_across_rays(parent, echo.ray_start, echo.gate, echo.velocity, echo.run, rays, joining.wrap,
                        joining.limit);
  for (std::size_t k = 0; k < runs; ++k) parent[k] = run_root(parent, static_cast<I32>(k));
  return parent;  // a component is named by its first run
}

// The pairs of one small area's gates with the large echo in reach: the
// whole folds each asks for, whether the unrounded folds are within `close`
// of them, and the reference gate.
struct Pairs {
  std::vector<I64> wanted;
  std::vector<std::uint8_t> near;
  std::vector<I32> reference;
  void clear() noexcept {
    wanted.clear();
    near.clear();
    reference.clear();
  }
};

// Appends the pairs of the gates of run `k` (on ray `ray`) with the gates of
// large areas in reach: on each ray in reach, a pointer that moves along
// with the run's gates.
void pairs_of(const Echo& echo, std::size_t k, std::size_t ray, const std::vector<std::uint8_t>& large_run,
              std::size_t rays, std::size_t gates, bool wrap, float span, const NearbyRule& rule, Pairs& pairs) {
  const auto nrays = static_cast<I64>(rays), ngates = static_cast<I64>(gates);
  const std::size_t begin = echo.run_start[k], end = echo.run_start[k + 1];
  for (I64 dr = -rule.reach_rays; dr <= rule.reach_rays; ++dr) {
    I64 r = static_cast<I64>(ray) + dr;
    // Divided only past either end: a division per ray in reach is a good
    // part of the search where the small areas are many.
    if (wrap && (r < 0 || r >= nrays)) r = ((r % nrays) + nrays) % nrays;
    if (r < 0 || r >= nrays) continue;
    const I32* last = echo.gate.begin() + echo.ray_start[static_cast<std::size_t>(r) + 1];
    const I32* from =
        echo.gate.begin() + echo.first_from(static_cast<std::size_t>(r),
                                            static_cast<std::size_t>(std::max<I64>(echo.gate[begin] - rule.reach_gates, 0)));
    for (std::size_t i = begin; i < end; ++i) {
      const I64 low = std::max<I64>(echo.gate[i] - rule.reach_gates, 0);
      const I64 high = std::min<I64>(echo.gate[i] + rule.reach_gates, ngates - 1);
      while (from != last && *from < low) ++from;
      for (const I32* at = from; at != last && *at <= high; ++at) {
        const auto j = static_cast<std::size_t>(at - echo.gate.begin());
        if (dr == 0 && *at == echo.gate[i]) continue;  // the gate itself
        if (large_run[static_cast<std::size_t>(echo.run[j])] == 0) continue;
        // float32 throughout, as the velocities are.
        const float ratio = (echo.velocity[j] - echo.velocity[i]) / span;
        const I64 wanted = to_int64(static_cast<double>(std::rint(ratio)));
        pairs.wanted.push_back(wanted);
        pairs.near.push_back(std::fabs(static_cast<double>(ratio) - static_cast<double>(wanted)) <= rule.close ? 1 : 0);
        pairs.reference.push_back(static_cast<I32>(j));
      }
    }
  }
}

// Shift of an area of `size` gates from its pairs: 0 where the evidence is weak.
// `seen` holds, per valid gate (of `count`), the last area that counted it
// around itself: the areas are taken one after another.
I64 area_shift(const Pairs& pairs, I32 area, I64 size, const NearbyRule& rule, std::vector<I64>& votes,
               std::vector<I32>& seen, std::size_t count) {
  const auto compared = static_cast<I64>(pairs.wanted.size());
  if (compared == 0 || compared < rule.min_pairs) return 0;
  std::fill(votes.begin(), votes.end(), 0);
  for (const I64 w : pairs.wanted) ++votes[static_cast<std::size_t>(std::clamp(w, -rule.max_shift, rule.max_shift) + rule.max_shift)];
  const auto top = std::max_element(votes.begin(), votes.end());  // the first most asked for
  const I64 best = (top - votes.begin()) - rule.max_shift;
  const auto asked = static_cast<double>(compared);
  if (!(static_cast<double>(*top) >= rule.min_agreement * asked)) return 0;
  I64 close = 0;
  for (std::size_t k = 0; k < pairs.wanted.size(); ++k) close += pairs.near[k] != 0 && pairs.wanted[k] == best ? 1 : 0;
  if (!(static_cast<double>(close) >= rule.min_close * asked)) return 0;
  if (seen.empty()) seen.assign(count, -1);
  // Distinct large-area gates around the area.
  I64 around = 0;
  for (const I32 j : pairs.reference) {
    I32& last = seen[static_cast<std::size_t>(j)];
    around += last != area ? 1 : 0;
    last = area;
  }
  return around >= rule.surround * size ? best : 0;
}

// Shift of each area (by its first run): the small areas' pairs, area by area.
std::vector<I64> area_shifts(const Echo& echo, const std::vector<I32>& component, const std::vector<I64>& size,
                             std::size_t rays, std::size_t gates, bool wrap, float span, const NearbyRule& rule) {
  const std::size_t runs = component.size();
  // Ray of each run, and the runs of small areas grouped by area.
  std::vector<std::size_t> run_ray(runs);
  for (std::size_t k = 0, ray = 0; k < runs; ++k) {
    while (echo.ray_start[ray + 1] <= echo.run_start[k]) ++ray;
    run_ray[k] = ray;
  }
  // The small areas' runs grouped by area (areas in order, runs in order
  // within each), by counting: an area is named by its first run.
  std::vector<std::uint8_t> large_run(runs);
  std::vector<std::size_t> area_end(runs + 1, 0);
  for (std::size_t k = 0; k < runs; ++k) {
    const auto area = static_cast<std::size_t>(component[k]);
    large_run[k] = size[area] >= rule.large_gates ? 1 : 0;
    area_end[area + 1] += size[area] < rule.small_gates ? 1 : 0;
  }
  for (std::size_t a = 0; a < runs; ++a) area_end[a + 1] += area_end[a];
  std::vector<std::pair<I32, I32>> small(area_end[runs]);  // (area, run)
  for (std::size_t k = 0; k < runs; ++k) {
    const auto area = static_cast<std::size_t>(component[k]);
    if (size[area] < rule.small_gates) small[area_end[area]++] = {component[k], static_cast<I32>(k)};
  }
  std::vector<I64> shift(runs, 0);
  std::vector<I64> votes(static_cast<std::size_t>(2 * rule.max_shift + 1));
  std::vector<I32> seen;  // made when an area first gets this far
  Pairs pairs;
  for (std::size_t s = 0; s < small.size();) {
    const I32 area = small[s].first;
    pairs.clear();
    for (; s < small.size() && small[s].first == area; ++s) {
      const auto k = static_cast<std::size_t>(small[s].second);
      pairs_of(echo, k, run_ray[k], large_run, rays, gates, wrap, span, rule, pairs);
    }
    shift[static_cast<std::size_t>(area)] = area_shift(pairs, area, size[static_cast<std::size_t>(area)], rule, votes, seen,
                                                       echo.count);
  }
  return shift;
}

}  // namespace

template <class Velocity, class Fold>
NearbyAreas nearby_areas(Grid<const std::uint8_t> excluded, const Velocity* velocity, const Fold* folds, double span,
                         const Joining& joining, const NearbyRule& rule, const RingCells& rings) {
  NearbyAreas out;
  if (excluded.rays == 0 || excluded.gates == 0) return out;
  Centring centring(excluded.gates, static_cast<std::size_t>(rings.step));
  Echo& echo = thread_echo();
  valid_gates(excluded, velocity, folds, span, joining, rings, centring, echo);
  // Too few fitted rings: the sweep fails the centring check, and nothing
  // would move whatever the areas.
  if (centring.fitted_rings(rings) < rule.min_rings) return out;
  const std::vector<I32> component = run_components(echo, excluded.rays, joining);
  const std::size_t runs = component.size();
  std::vector<I64> size(runs, 0);  // by the first run of each component
  for (std::size_t k = 0; k < runs; ++k) {
    size[static_cast<std::size_t>(component[k])] += static_cast<I64>(echo.run_start[k + 1] - echo.run_start[k]);
  }
  bool any_large = false, any_small = false;
  for (std::size_t k = 0; k < runs; ++k) {
    if (component[k] != static_cast<I32>(k)) continue;
    any_large |= size[k] >= rule.large_gates;
    any_small |= size[k] < rule.small_gates;
  }
  if (!any_large || !any_small) return out;
  const std::vector<I64> shift =
      area_shifts(echo, component, size, excluded.rays, excluded.gates, joining.wrap, static_cast<float>(span), rule);
  // The moving areas numbered in the order their first gates come; their gates in flat order.
  std::vector<I64> number(runs, -1);
  std::size_t ray = 0;
  for (std::size_t k = 0; k < runs; ++k) {
    const auto area = static_cast<std::size_t>(component[k]);
    if (shift[area] == 0) continue;
    if (number[area] < 0) {
      number[area] = static_cast<I64>(out.shift.size());
      out.shift.push_back(shift[area]);
    }
    for (std::size_t i = echo.run_start[k]; i < echo.run_start[k + 1]; ++i) {
      while (echo.ray_start[ray + 1] <= i) ++ray;
      out.at.push_back(static_cast<I64>(ray * excluded.gates) + echo.gate[i]);
      out.area.push_back(number[area]);
    }
  }
  if (!out.shift.empty()) centring.equations(rings, out.normal, out.rhs);
  return out;
}

#define VORNAK_ANCHOR_NEARBY(V, F)                                                                             \
  template NearbyAreas nearby_areas<V, F>(Grid<const std::uint8_t>, const V*, const F*, double, const Joining&, \
                                          const NearbyRule&, const RingCells&);
VORNAK_ANCHOR_NEARBY(float, std::int32_t)
VORNAK_ANCHOR_NEARBY(float, std::int64_t)
VORNAK_ANCHOR_NEARBY(double, std::int32_t)
VORNAK_ANCHOR_NEARBY(double, std::int64_t)
#undef VORNAK_ANCHOR_NEARBY

}  // namespace vornak::anchor
