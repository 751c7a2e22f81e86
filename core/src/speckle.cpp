// The speckle repair: groups found by flood fill from the like gates that
// carry a fold, so that a sweep is never labelled whole.
#include "vornak/speckle.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <optional>

namespace vornak::speckle {

namespace {

// What is known of a gate, as bits of Groups::state.
enum : std::uint8_t {
  valid_bit = 1,
  like_bit = 2,
  lifted_bit = 4,  // like, with a fold
  dense_known = 8,
  dense_bit = 16,
  solid_known = 32,
  solid_bit = 64,
  grouped_bit = 128,
};

int clipped(std::int64_t fold) noexcept {
  return static_cast<int>(std::clamp<std::int64_t>(fold, -fold_limit, fold_limit));
}

// Floor and ceiling of a / b for b > 0.
std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept { return a >= 0 ? a / b : -((-a + b - 1) / b); }
std::int64_t ceil_div(std::int64_t a, std::int64_t b) noexcept { return -floor_div(-a, b); }

class Finder {
 public:
  Finder(std::vector<std::uint8_t>& state, std::size_t rays, std::size_t gates, bool wrap)
      : state_(state), rays_(rays), gates_(gates), wrap_(wrap) {}

  // The 4-connected neighbours of `at`, never across the first and last ray.
  template <class F>
  void each_neighbour(std::size_t at, F&& f) const {
    const std::size_t ray = at / gates_, gate = at % gates_;
    if (ray > 0) f(at - gates_);
    if (ray + 1 < rays_) f(at + gates_);
    if (gate > 0) f(at - 1);
    if (gate + 1 < gates_) f(at + 1);
  }

  bool dense(std::size_t at) {
    std::uint8_t& s = state_[at];
    if (!(s & dense_known)) s |= dense_known | (dense_now(at) ? dense_bit : 0);
    return s & dense_bit;
  }

  // Dense and in a dense area of solid_gates or more: decided by a flood
  // fill that stops at that many gates (they are all solid then) or at a
  // gate already known to be solid; an area found whole and smaller is
  // known not to be.
  [[gnu::flatten]] bool solid(std::size_t at) {
    if (state_[at] & solid_known) return state_[at] & solid_bit;
    state_[at] |= solid_known;
    if (!dense(at)) return false;
    area_.assign(1, at);
    bool found = false;
    for (std::size_t head = 0; head < area_.size() && area_.size() < solid_gates && !found; ++head) {
      each_neighbour(area_[head], [&](std::size_t next) {
        if (found || area_.size() >= solid_gates || !dense(next)) return;
        if (state_[next] & solid_known) {  // of this fill, unless solid already
          found = state_[next] & solid_bit;
          return;
        }
        state_[next] |= solid_known;
        area_.push_back(next);
      });
    }
    if (found || area_.size() >= solid_gates) {
      for (const std::size_t a : area_) state_[a] |= solid_bit;
    }
    return state_[at] & solid_bit;
  }

  // The scattered group of the lifted gate `start` appended to `out`, or
  // nothing when `start` is solid or grouped already.
  [[gnu::flatten]] void group(std::size_t start, std::vector<std::size_t>& out) {
    if ((state_[start] & grouped_bit) || solid(start)) return;
    std::size_t head = out.size();
    state_[start] |= grouped_bit;
    out.push_back(start);
    for (; head < out.size(); ++head) {
      each_neighbour(out[head], [&](std::size_t next) {
        if ((state_[next] & (grouped_bit | valid_bit)) != valid_bit || solid(next)) return;
        state_[next] |= grouped_bit;
        out.push_back(next);
      });
    }
  }

 private:
  // Valid gates in the 3 x 3 neighbourhood against the gates of it within
  // the sweep; rays wrapping around, the rays before and after are taken
  // round the circle (the same ray more than once in a sweep of one or two).
  bool dense_now(std::size_t at) const {
    if (!(state_[at] & valid_bit)) return false;
    const std::size_t ray = at / gates_, gate = at % gates_;
    const std::size_t g0 = gate > 0 ? gate - 1 : gate, g1 = std::min(gate + 2, gates_);
    unsigned count = 0, around = 0;
    auto row = [&](std::size_t r) {
      for (std::size_t g = g0; g < g1; ++g) count += state_[r * gates_ + g] & valid_bit;
      around += static_cast<unsigned>(g1 - g0);
    };
    if (wrap_) {
      row(ray == 0 ? rays_ - 1 : ray - 1);
      row(ray);
      row(ray + 1 == rays_ ? 0 : ray + 1);
    } else {
      if (ray > 0) row(ray - 1);
      row(ray);
      if (ray + 1 < rays_) row(ray + 1);
    }
    return static_cast<double>(count) >= dense_share * static_cast<double>(around);
  }

  std::vector<std::uint8_t>& state_;
  std::size_t rays_, gates_;
  bool wrap_;
  std::vector<std::size_t> area_;
};

// Like gates per clipped fold and block of block_rays x block_gates, summed
// from the first block: (2 fold_limit + 1) tables of (blocks + 1) x (blocks + 1).
class BlockSums {
 public:
  template <class Fold>
  BlockSums(const std::vector<std::uint8_t>& state, const Fold* folds, std::size_t rays, std::size_t gates)
      : rays_(ceil_div(static_cast<std::int64_t>(rays), block_rays)),
        gates_(ceil_div(static_cast<std::int64_t>(gates), block_gates)),
        table_(static_cast<std::size_t>((2 * fold_limit + 1) * (rays_ + 1) * (gates_ + 1)), 0) {
    for (std::size_t r = 0; r < rays; ++r) {
      const auto br = static_cast<std::int64_t>(r) / block_rays + 1;
      const std::uint8_t* marks = state.data() + r * gates;
      const Fold* fold = folds + r * gates;
      for (std::size_t g0 = 0, bg = 1; g0 < gates; g0 += block_gates, ++bg) {
        const std::size_t g1 = std::min(g0 + block_gates, gates);
        for (std::size_t g = g0; g < g1; ++g) {
          if (marks[g] & like_bit) ++cell(clipped(fold[g]) + fold_limit, br, static_cast<std::int64_t>(bg));
        }
      }
    }
    for (int k = 0; k <= 2 * fold_limit; ++k) {
      for (std::int64_t r = 1; r <= rays_; ++r) {
        for (std::int64_t g = 1; g <= gates_; ++g) {
          cell(k, r, g) += cell(k, r - 1, g) + cell(k, r, g - 1) - cell(k, r - 1, g - 1);
        }
      }
    }
  }

  [[nodiscard]] std::int64_t rays() const noexcept { return rays_; }

  // Like gates of fold k (clipped, + fold_limit) in blocks [r0, r1) x [g0, g1), inside the table.
  [[nodiscard]] std::int64_t sum(int k, std::int64_t r0, std::int64_t r1, std::int64_t g0, std::int64_t g1) const {
    return at(k, r1, g1) - at(k, r0, g1) - at(k, r1, g0) + at(k, r0, g0);
  }

 private:
  [[nodiscard]] std::size_t index(int k, std::int64_t r, std::int64_t g) const noexcept {
    return static_cast<std::size_t>((k * (rays_ + 1) + r) * (gates_ + 1) + g);
  }
  std::int64_t& cell(int k, std::int64_t r, std::int64_t g) { return table_[index(k, r, g)]; }
  [[nodiscard]] std::int64_t at(int k, std::int64_t r, std::int64_t g) const { return table_[index(k, r, g)]; }

  std::int64_t rays_, gates_;
  std::vector<std::int64_t> table_;
};

// Like gates per clipped fold (+ fold_limit).
using FoldCounts = std::array<std::int64_t, 2 * fold_limit + 1>;

// Like gates per fold in the block window [r0, r1) x (the window's gate
// blocks), from `rows(a, b)`, those of block rows [a, b) inside the sweep;
// rays wrapping around, a window past either end of the rays is taken round
// the circle.
template <class Rows>
FoldCounts window_counts(std::int64_t n, bool wrap, std::int64_t r0, std::int64_t r1, Rows&& rows) {
  auto inside = [n](std::int64_t r) { return std::clamp<std::int64_t>(r, 0, n); };
  if (!wrap) return rows(inside(r0), inside(r1));
  if (r1 - r0 >= n) r0 = 0, r1 = n;
  FoldCounts sum = rows(inside(r0), inside(r1));
  auto add = [&sum](const FoldCounts& part) {
    for (std::size_t k = 0; k < sum.size(); ++k) sum[k] += part[k];
  };
  if (r0 < 0) add(rows(r0 + n, std::min<std::int64_t>(r1, 0) + n));  // the part before the first ray
  if (r1 > n) add(rows(std::max(r0, n) - n, r1 - n));              // the part after the last
  return sum;
}

// Like gates: |velocity| < limit as double. For float velocities the same
// test as float, against the smallest float not below the limit, so that
// the pass stays in one width.
template <class Velocity>
Velocity like_limit(double limit) noexcept {
  if (limit > static_cast<double>(std::numeric_limits<Velocity>::max())) {
    return std::numeric_limits<Velocity>::infinity();  // every finite velocity is below it
  }
  auto lower = static_cast<Velocity>(limit);
  if (static_cast<double>(lower) < limit) lower = std::nextafter(lower, std::numeric_limits<Velocity>::infinity());
  return lower;
}

// The state of every gate, the folds copied to `out` on the way; true when
// a like gate carries a fold. No branch: the compiler vectorises the pass.
template <class Velocity, class Fold>
bool mark_gates(const Sweep<Velocity, Fold>& sweep, std::vector<std::uint8_t>& state, Fold* out) {
  const std::size_t n = sweep.rays * sweep.gates;
  const Velocity limit = like_limit<Velocity>(2 * near_zero * sweep.nyquist);
  const Velocity largest = std::numeric_limits<Velocity>::max();
  const std::uint8_t* excluded = sweep.excluded;
  const Velocity* velocity = sweep.velocity;
  const Fold* folds = sweep.folds;
  std::uint8_t* marks = state.data();
  std::uint8_t any = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const Velocity magnitude = std::fabs(velocity[i]);
    const Fold fold = folds[i];
    out[i] = fold;
    const int valid = (excluded[i] == 0) & (magnitude <= largest);  // NaN and infinities fail
    const int like = valid & (magnitude < limit);
    const int folded = like & (fold != 0);
    const auto s = static_cast<std::uint8_t>(valid | (like << 1) | (folded << 2));
    marks[i] = s;
    any |= s;
  }
  return any & lifted_bit;
}

// The group just found at gates[begin, end) as a Group, or false when it is
// split between folds or at fold 0 (such a group is never moved).
template <class Velocity, class Fold>
bool describe(const Sweep<Velocity, Fold>& sweep, const Groups& groups, std::size_t begin, Group& group) {
  const std::size_t end = groups.gates.size();
  const int fold = clipped(sweep.folds[groups.gates[begin]]);
  if (fold == 0) return false;
  group = Group{begin, end, INT64_MAX, -1, INT64_MAX, -1, fold, 0, 0.0, 0.0};
  for (std::size_t i = begin; i < end; ++i) {
    const std::size_t at = groups.gates[i];
    if (clipped(sweep.folds[at]) != fold) return false;
    const auto ray = static_cast<std::int64_t>(at / sweep.gates), gate = static_cast<std::int64_t>(at % sweep.gates);
    group.first_ray = std::min(group.first_ray, ray);
    group.end_ray = std::max(group.end_ray, ray + 1);
    group.first_gate = std::min(group.first_gate, gate);
    group.end_gate = std::max(group.end_gate, gate + 1);
    group.like += (groups.state[at] & like_bit) != 0;
    // mean direction of the velocity round the Nyquist interval, summed in flat order
    const double phase = std::numbers::pi * static_cast<double>(sweep.velocity[at]) / sweep.nyquist;
    group.sin_sum += std::sin(phase);
    group.cos_sum += std::cos(phase);
  }
  return true;
}

}  // namespace

template <class Velocity, class Fold>
Groups lifted_groups(const Sweep<Velocity, Fold>& sweep, Fold* out) {
  Groups groups;
  const std::size_t n = sweep.rays * sweep.gates;
  groups.state.resize(n);
  if (!mark_gates(sweep, groups.state, out)) return groups;
  Finder finder(groups.state, sweep.rays, sweep.gates, sweep.wrap);
  const std::uint8_t* marks = groups.state.data();  // the fills change other bits, never the size
  constexpr std::uint64_t lifted_in_word = 0x0101010101010101u * lifted_bit;
  for (std::size_t at = 0; at < n; ++at) {
    std::uint64_t word = 0;
    if (at + 8 <= n && (std::memcpy(&word, marks + at, 8), (word & lifted_in_word) == 0)) {
      at += 7;  // eight gates without one: most of a sweep
      continue;
    }
    if (!(marks[at] & lifted_bit)) continue;
    const std::size_t begin = groups.gates.size();
    finder.group(at, groups.gates);
    if (groups.gates.size() == begin) continue;
    std::sort(groups.gates.begin() + static_cast<std::ptrdiff_t>(begin), groups.gates.end());
    Group group;
    if (describe(sweep, groups, begin, group)) {
      groups.list.push_back(group);
    } else {
      groups.gates.resize(begin);
    }
  }
  return groups;
}

template <class Velocity, class Fold>
std::size_t put_back(const Sweep<Velocity, Fold>& sweep, const Groups& groups,
                     std::span<const std::uint8_t> about_zero, Fold* out) {
  struct Window {
    std::int64_t r0, r1, g0, g1;  // in blocks
  };
  const auto rays = static_cast<std::int64_t>(sweep.rays), gates = static_cast<std::int64_t>(sweep.gates);
  std::vector<Window> windows(groups.list.size());
  std::int64_t area = 0;
  for (std::size_t i = 0; i < groups.list.size(); ++i) {
    if (!about_zero[i]) continue;
    const Group& group = groups.list[i];
    Window& w = windows[i];
    w.r0 = floor_div(group.first_ray - reach_rays, block_rays);
    w.r1 = ceil_div(group.end_ray + reach_rays, block_rays);
    w.g0 = std::max<std::int64_t>(group.first_gate - reach_gates, 0) / block_gates;
    w.g1 = ceil_div(std::min(group.end_gate + reach_gates, gates), block_gates);
    area += std::min((w.r1 - w.r0) * block_rays, rays) * std::min((w.g1 - w.g0) * block_gates, gates);
  }
  if (area == 0) return 0;
  // Windows that cover less than the sweep are counted gate by gate; else
  // the like gates of the whole sweep once, in blocks.
  std::optional<BlockSums> blocks;
  if (area > rays * gates) blocks.emplace(groups.state, sweep.folds, sweep.rays, sweep.gates);
  const std::int64_t nblocks = ceil_div(rays, block_rays);
  std::size_t changed = 0;
  for (std::size_t i = 0; i < groups.list.size(); ++i) {
    if (!about_zero[i]) continue;
    const Group& group = groups.list[i];
    const Window& w = windows[i];
    const FoldCounts like = window_counts(nblocks, sweep.wrap, w.r0, w.r1, [&](std::int64_t a, std::int64_t b) {
      FoldCounts counts{};
      if (blocks) {
        for (int k = 0; k <= 2 * fold_limit; ++k) counts[static_cast<std::size_t>(k)] = blocks->sum(k, a, b, w.g0, w.g1);
        return counts;
      }
      const auto g1 = static_cast<std::size_t>(std::min(w.g1 * block_gates, gates));
      for (auto r = static_cast<std::size_t>(a * block_rays); r < static_cast<std::size_t>(std::min(b * block_rays, rays)); ++r) {
        for (auto g = static_cast<std::size_t>(w.g0 * block_gates); g < g1; ++g) {
          const std::size_t at = r * sweep.gates + g;
          if (groups.state[at] & like_bit) ++counts[static_cast<std::size_t>(clipped(sweep.folds[at]) + fold_limit)];
        }
      }
      return counts;
    });
    std::int64_t total = -group.like;  // the group itself does not vote
    for (const std::int64_t k : like) total += k;
    const std::int64_t same = like[static_cast<std::size_t>(group.fold + fold_limit)] - group.like;
    if (total >= like_gates && static_cast<double>(same) > support * static_cast<double>(total)) continue;
    // a gate of the group that measured another velocity keeps its fold
    for (std::size_t j = group.begin; j < group.end; ++j) {
      const std::size_t at = groups.gates[j];
      if (groups.state[at] & like_bit) {
        out[at] = 0;
        ++changed;
      }
    }
  }
  return changed;
}

#define VORNAK_SPECKLE(V, F)                                                                        \
  template Groups lifted_groups<V, F>(const Sweep<V, F>&, F*);                                       \
  template std::size_t put_back<V, F>(const Sweep<V, F>&, const Groups&, std::span<const std::uint8_t>, F*);
VORNAK_SPECKLE(float, std::int32_t)
VORNAK_SPECKLE(float, std::int64_t)
VORNAK_SPECKLE(double, std::int32_t)
VORNAK_SPECKLE(double, std::int64_t)
#undef VORNAK_SPECKLE

}  // namespace vornak::speckle
