#include "vornak/network.hpp"

#include <algorithm>
#include <bit>
#include <limits>

#include "vornak/numeric.hpp"

namespace vornak {

namespace {

std::size_t at(std::int32_t index) noexcept { return static_cast<std::size_t>(index); }

// Heap key: larger counts first, then lower slots, as a full scan for the
// strictly greater count would choose.
std::uint64_t candidate_key(std::int32_t count, std::size_t slot) noexcept {
  return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(count) ^ 0x80000000u) << 32) |
         static_cast<std::uint32_t>(~static_cast<std::uint32_t>(slot));
}
std::int32_t candidate_count(std::uint64_t key) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(key >> 32) ^ 0x80000000u);
}
std::size_t candidate_slot(std::uint64_t key) noexcept {
  return ~static_cast<std::uint32_t>(key);
}

std::uint64_t pair_of(std::int32_t g, std::int32_t h) noexcept {
  const auto lo = static_cast<std::uint32_t>(std::min(g, h));
  const auto hi = static_cast<std::uint32_t>(std::max(g, h));
  return (static_cast<std::uint64_t>(lo) << 32) | hi;
}

}  // namespace

Tracker::Tracker(std::int32_t region_count, std::span<const std::int32_t> sizes,
                 std::size_t slots) {
  // Per-group arrays are indexed by label, label 0 included.
  const std::int32_t groups = wrapping_add(region_count, 1);
  if (groups < 0) fail_capacity();
  if (region_count < 0) {
    fail_index("length mismatch: sizes cannot match a negative region count");
  }
  require_exact_length(sizes.size(), static_cast<std::size_t>(region_count), "sizes");
  if (slots >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) / 2) {
    fail_capacity();
  }
  const auto n = static_cast<std::size_t>(groups);
  region_count_ = region_count;

  group_size_ = zeros<std::int32_t>(n);
  for (std::size_t l = 1; l < n; ++l) group_size_[l] = sizes[l - 1];
  fold_parent_ = zeros<std::int32_t>(n);
  for (std::size_t g = 0; g < n; ++g) fold_parent_[g] = static_cast<std::int32_t>(g);
  fold_offset_ = zeros<std::int32_t>(n);
  head_ = filled<std::int32_t>(n, -1);
  rebuilt_at_ = zeros<std::uint32_t>(n);

  end_.reserve(2 * slots);
  next_.reserve(2 * slots);
  previous_.reserve(2 * slots);
  a_side_.reserve(slots);
  oriented_at_.reserve(slots);
  diff_.reserve(slots);
  count_.reserve(slots);

  const std::size_t capacity = std::max<std::size_t>(16, std::bit_ceil(2 * slots));
  pair_key_ = zeros<std::uint64_t>(capacity);
  pair_slot_ = zeros<std::int32_t>(capacity);
  pair_shift_ = 64 - std::countr_zero(capacity);
}

Tracker::Tracker(const Edges& edges, std::int32_t region_count,
                 std::span<const std::int32_t> sizes, double twice_nyquist)
    : Tracker(region_count, sizes, edges.size() >> 1) {
  const std::size_t entries = edges.size();
  require_exact_length(edges.region_b.size(), entries, "edges.region_b");
  require_exact_length(edges.count.size(), entries, "edges.count");
  require_exact_length(edges.sum_a.size(), entries, "edges.sum_a");
  require_exact_length(edges.sum_b.size(), entries, "edges.sum_b");
  const std::size_t slots = entries >> 1;
  for (std::size_t i = 0; i < entries; ++i) {
    if (edges.region_a[i] < edges.region_b[i]) continue;
    if (count_.size() == slots) fail_index("index out of range: more boundaries than slots");
    add_slot(edges.region_a[i], edges.region_b[i], edges.count[i], edges.sum_a[i],
             edges.sum_b[i], twice_nyquist);
  }
  // Entries with region_a < region_b only mirror the slots; slots not filled
  // by qualifying entries keep their zero state, as an all-zero record.
  while (count_.size() < slots) add_slot(0, 0, 0, 0.0, 0.0, twice_nyquist);
}

Tracker Tracker::from_boundaries(const Edges& boundaries, std::int32_t region_count,
                                 std::span<const std::int32_t> sizes, double twice_nyquist) {
  Tracker tracker(region_count, sizes, boundaries.size());
  const std::size_t entries = boundaries.size();
  require_exact_length(boundaries.region_b.size(), entries, "boundaries.region_b");
  require_exact_length(boundaries.count.size(), entries, "boundaries.count");
  require_exact_length(boundaries.sum_a.size(), entries, "boundaries.sum_a");
  require_exact_length(boundaries.sum_b.size(), entries, "boundaries.sum_b");
  for (std::size_t i = 0; i < entries; ++i) {
    if (boundaries.region_a[i] <= boundaries.region_b[i]) {
      fail_index("index out of range: a boundary must start at the larger region");
    }
    tracker.add_slot(boundaries.region_a[i], boundaries.region_b[i], boundaries.count[i],
                     boundaries.sum_a[i], boundaries.sum_b[i], twice_nyquist);
  }
  return tracker;
}

void Tracker::add_slot(std::int32_t a, std::int32_t b, std::int32_t count, double sum_a,
                       double sum_b, double twice_nyquist) {
  const auto valid = [&](std::int32_t id) {
    return static_cast<std::uint32_t>(id) <= static_cast<std::uint32_t>(region_count_);
  };
  if (!valid(a) || !valid(b)) fail_index("index out of range: region outside 0..R");
  const auto slot = static_cast<std::int32_t>(count_.size());
  const bool placeholder = a == 0 && b == 0 && count == 0;
  if (!placeholder) {
    // Two open slots between one pair of groups would break fusion.
    if (a == b || find_pair(a, b) >= 0) fail_index("index out of range: repeated boundary");
    insert_pair(a, b, slot);
  }
  end_.push_back(a);
  end_.push_back(b);
  next_.push_back(-1);
  next_.push_back(-1);
  previous_.push_back(-1);
  previous_.push_back(-1);
  a_side_.push_back(0);
  oriented_at_.push_back(0);
  diff_.push_back(narrow_to_float((sum_a - sum_b) / twice_nyquist));
  count_.push_back(count);
  if (!placeholder) {
    link(2 * slot, a);
    link(2 * slot + 1, b);
  }
}

int Tracker::side_of_edge_a(std::size_t slot) const noexcept {
  // A group that became keeper anew turned all its open slots toward itself;
  // the latest such turn, or the slot's own re-attachment, decides.
  const std::uint32_t stored = oriented_at_[slot];
  const std::uint32_t first = rebuilt_at_[at(end_[2 * slot])];
  const std::uint32_t second = rebuilt_at_[at(end_[2 * slot + 1])];
  if (first > stored && first > second) return 0;
  if (second > stored && second > first) return 1;
  return a_side_[slot];
}

void Tracker::orient(std::size_t slot) noexcept {
  const int side = side_of_edge_a(slot);
  if (side != a_side_[slot]) {
    a_side_[slot] = static_cast<std::uint8_t>(side);
    diff_[slot] = -diff_[slot];
  }
  oriented_at_[slot] = std::max({oriented_at_[slot], rebuilt_at_[at(end_[2 * slot])],
                                 rebuilt_at_[at(end_[2 * slot + 1])]});
}

std::int32_t Tracker::edge_a(std::size_t slot) const noexcept {
  return end_[2 * slot + static_cast<std::size_t>(side_of_edge_a(slot))];
}
std::int32_t Tracker::edge_b(std::size_t slot) const noexcept {
  return end_[2 * slot + 1 - static_cast<std::size_t>(side_of_edge_a(slot))];
}
float Tracker::edge_diff(std::size_t slot) const noexcept {
  return side_of_edge_a(slot) == a_side_[slot] ? diff_[slot] : -diff_[slot];
}

std::int32_t Tracker::fold(std::int32_t label) const noexcept {
  std::int32_t total = 0;
  for (std::int32_t x = label; fold_parent_[at(x)] != x; x = fold_parent_[at(x)]) {
    total = wrapping_add(total, fold_offset_[at(x)]);
  }
  return total;
}

void Tracker::link(std::int32_t node, std::int32_t group) noexcept {
  end_[at(node)] = group;
  previous_[at(node)] = -1;
  next_[at(node)] = head_[at(group)];
  if (head_[at(group)] >= 0) previous_[at(head_[at(group)])] = node;
  head_[at(group)] = node;
}

void Tracker::unlink(std::int32_t node) noexcept {
  const std::int32_t before = previous_[at(node)];
  const std::int32_t after = next_[at(node)];
  if (before >= 0) {
    next_[at(before)] = after;
  } else {
    head_[at(end_[at(node)])] = after;
  }
  if (after >= 0) previous_[at(after)] = before;
  previous_[at(node)] = -1;
  next_[at(node)] = -1;
}

std::size_t Tracker::pair_home(std::uint64_t key) const noexcept {
  return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> pair_shift_);
}

std::int32_t Tracker::find_pair(std::int32_t g, std::int32_t h) const noexcept {
  const std::uint64_t key = pair_of(g, h);
  const std::size_t mask = pair_key_.size() - 1;
  for (std::size_t i = pair_home(key);; i = (i + 1) & mask) {
    if (pair_key_[i] == key) return pair_slot_[i];
    if (pair_key_[i] == 0) return -1;
  }
}

void Tracker::insert_pair(std::int32_t g, std::int32_t h, std::int32_t slot) noexcept {
  const std::uint64_t key = pair_of(g, h);
  const std::size_t mask = pair_key_.size() - 1;
  std::size_t i = pair_home(key);
  while (pair_key_[i] != 0) i = (i + 1) & mask;
  pair_key_[i] = key;
  pair_slot_[i] = slot;
}

void Tracker::erase_pair(std::int32_t g, std::int32_t h) noexcept {
  const std::uint64_t key = pair_of(g, h);
  const std::size_t mask = pair_key_.size() - 1;
  std::size_t i = pair_home(key);
  while (pair_key_[i] != key) {
    if (pair_key_[i] == 0) return;
    i = (i + 1) & mask;
  }
  // Backward-shift deletion keeps every probe sequence unbroken.
  for (std::size_t j = (i + 1) & mask; pair_key_[j] != 0; j = (j + 1) & mask) {
    const std::size_t home = pair_home(pair_key_[j]);
    const bool stays = (j > i) ? (home > i && home <= j) : (home > i || home <= j);
    if (stays) continue;
    pair_key_[i] = pair_key_[j];
    pair_slot_[i] = pair_slot_[j];
    i = j;
  }
  pair_key_[i] = 0;
}

void Tracker::push_candidate(std::size_t slot) {
  candidates_.push_back(candidate_key(count_[slot], slot));
  std::push_heap(candidates_.begin(), candidates_.end());
}

Buffer<std::int32_t> Tracker::solve() && {
  const std::size_t slots = count_.size();
  candidates_ = zeros<std::uint64_t>(slots);
  for (std::size_t k = 0; k < slots; ++k) candidates_[k] = candidate_key(count_[k], k);
  std::make_heap(candidates_.begin(), candidates_.end());

  while (!candidates_.empty()) {
    std::pop_heap(candidates_.begin(), candidates_.end());
    const std::uint64_t top = candidates_.back();
    candidates_.pop_back();
    const std::size_t best = candidate_slot(top);
    const std::int32_t count = candidate_count(top);
    if (count_[best] != count) continue;  // superseded by a later count
    if (count < 0) break;                 // nothing open with a usable count

    orient(best);
    const std::int32_t a = edge_a(best);
    const std::int32_t b = edge_b(best);
    const double ratio = static_cast<double>(diff_[best]) / static_cast<double>(count);
    const std::int32_t shift = rint_to_i32(ratio);
    // The larger group keeps its folds; on equal sizes the edge_b side does.
    const auto slot = static_cast<std::int32_t>(best);
    if (group_size_[at(a)] > group_size_[at(b)]) {
      join(slot, a, b, shift);
    } else {
      join(slot, b, a, wrapping_neg(shift));
    }
  }
  candidates_ = {};

  const std::size_t n = group_size_.size();
  Buffer<std::int32_t> folds = zeros<std::int32_t>(n);
  for (std::size_t l = 0; l < n; ++l) {
    // Sum the shifts along the chain of keepers, then hang the chain on its
    // root with the partial sums so that later lookups are short.
    const auto label = static_cast<std::int32_t>(l);
    const std::int32_t total = fold(label);
    std::int32_t root = label;
    while (fold_parent_[at(root)] != root) root = fold_parent_[at(root)];
    std::int32_t remaining = total;
    for (std::int32_t x = label; fold_parent_[at(x)] != x;) {
      const std::int32_t up = fold_parent_[at(x)];
      const std::int32_t offset = fold_offset_[at(x)];
      fold_parent_[at(x)] = root;
      fold_offset_[at(x)] = remaining;
      remaining = wrapping_sub(remaining, offset);
      x = up;
    }
    folds[l] = total;
  }
  return folds;
}

void Tracker::join(std::int32_t best, std::int32_t keeper, std::int32_t absorbed,
                   std::int32_t delta) {
  const auto valid = [&](std::int32_t id) {
    return static_cast<std::uint32_t>(id) <= static_cast<std::uint32_t>(region_count_);
  };
  if (!valid(keeper) || !valid(absorbed) || static_cast<std::uint32_t>(best) >= count_.size()) {
    fail_index("index out of range: merge step outside the network");
  }
  ++step_;

  if (delta != 0) {
    // Every boundary of the absorbed group moves by delta folds per gate pair,
    // seen from its own side.
    for (std::int32_t node = head_[at(absorbed)]; node >= 0; node = next_[at(node)]) {
      const std::size_t e = at(node) >> 1;
      orient(e);
      const double p = static_cast<double>(static_cast<std::int64_t>(count_[e]) *
                                           static_cast<std::int64_t>(delta));
      const double diff = static_cast<double>(diff_[e]);
      diff_[e] = narrow_to_float(edge_a(e) == absorbed ? diff + p : diff - p);
    }
  }
  // The absorbed group's regions follow the keeper from now on.
  fold_parent_[at(absorbed)] = keeper;
  fold_offset_[at(absorbed)] = delta;

  group_size_[at(keeper)] = wrapping_add(group_size_[at(keeper)], group_size_[at(absorbed)]);
  group_size_[at(absorbed)] = 0;

  count_[at(best)] = consumed_slot;
  unlink(2 * best);
  unlink(2 * best + 1);
  erase_pair(keeper, absorbed);

  // A new keeper turns all its open slots toward itself.
  if (mapped_group_ != keeper) rebuilt_at_[at(keeper)] = step_;

  // Re-attach the absorbed group's boundaries to the keeper, fusing those
  // that lead to a group the keeper already borders.
  std::int32_t survivors_head = -1;
  std::int32_t survivors_tail = -1;
  for (std::int32_t node = head_[at(absorbed)]; node >= 0;) {
    const std::int32_t following = next_[at(node)];
    const std::size_t e = at(node) >> 1;
    orient(e);
    const int absorbed_side = node & 1;
    if (a_side_[e] != absorbed_side) {
      a_side_[e] = static_cast<std::uint8_t>(absorbed_side);
      diff_[e] = -diff_[e];
    }
    end_[at(node)] = keeper;
    oriented_at_[e] = step_;
    const std::int32_t other = end_[at(node ^ 1)];
    erase_pair(absorbed, other);
    const std::int32_t f = find_pair(keeper, other);
    if (f < 0) {
      insert_pair(keeper, other, static_cast<std::int32_t>(e));
      if (survivors_head < 0) survivors_head = node;
      survivors_tail = node;
    } else {
      orient(at(f));
      count_[at(f)] = wrapping_add(count_[at(f)], count_[e]);
      count_[e] = consumed_slot;
      diff_[at(f)] = diff_[e] + diff_[at(f)];
      // Unlinking within the absorbed list while walking it: the walk already
      // holds the following node.
      end_[at(node)] = absorbed;
      unlink(node);
      unlink(node ^ 1);
      push_candidate(at(f));
    }
    node = following;
  }
  // What is left of the absorbed list joins the keeper's list.
  if (survivors_head >= 0) {
    const std::int32_t keeper_head = head_[at(keeper)];
    next_[at(survivors_tail)] = keeper_head;
    if (keeper_head >= 0) previous_[at(keeper_head)] = survivors_tail;
    head_[at(keeper)] = survivors_head;
    previous_[at(survivors_head)] = -1;
  }
  head_[at(absorbed)] = -1;
  mapped_group_ = keeper;
}

}  // namespace vornak
