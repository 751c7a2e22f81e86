// The fold network: merge order, merge steps, and the open-slot lookup by pair of groups.
#include "vornak/network.hpp"

#include <algorithm>
#include <bit>
#include <limits>

#include "vornak/numeric.hpp"

namespace vornak {

namespace {

// A group, slot or node number, non-negative where it is used, as an index.
std::size_t index_of(std::int32_t id) noexcept { return static_cast<std::size_t>(id); }

std::uint64_t key_of(std::int32_t low, std::int32_t high) noexcept {
  return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(low)) << 32) |
         static_cast<std::uint32_t>(high);
}

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

// A max-heap of four children per entry: half the levels of a binary heap,
// and the children of one entry share a cache line, so taking the top costs
// fewer misses.
constexpr std::size_t heap_arity = 4;

void sift_up(Buffer<std::uint64_t>& heap, std::size_t i) noexcept {
  const std::uint64_t key = heap[i];
  while (i > 0) {
    const std::size_t parent = (i - 1) / heap_arity;
    if (heap[parent] >= key) break;
    heap[i] = heap[parent];
    i = parent;
  }
  heap[i] = key;
}

// The larger of two children as (key, position), without a branch: which
// child wins is as good as a coin toss.
struct Child {
  std::uint64_t key;
  std::size_t at;
};
Child larger(Child x, Child y) noexcept {
  const bool second = y.key > x.key;
  return Child{second ? y.key : x.key, second ? y.at : x.at};
}

void sift_down(Buffer<std::uint64_t>& heap, std::size_t i) noexcept {
  const std::size_t n = heap.size();
  const std::uint64_t key = heap[i];
  for (;;) {
    const std::size_t first = i * heap_arity + 1;
    if (first >= n) break;
    Child best{heap[first], first};
    if (first + heap_arity <= n) {
      best = larger(larger(best, Child{heap[first + 1], first + 1}),
                    larger(Child{heap[first + 2], first + 2}, Child{heap[first + 3], first + 3}));
    } else {
      for (std::size_t c = first + 1; c < n; ++c) best = larger(best, Child{heap[c], c});
    }
    if (best.key <= key) break;
    heap[i] = best.key;
    i = best.at;
  }
  heap[i] = key;
}

// Gives the buffer's memory back. (Assigning `{}` would keep it: that
// assigns an empty initializer list.)
template <class Table>
void release(Table& table) noexcept {
  Table().swap(table);
}

// Index failure unless the five sequences of `edges` are equally long.
void require_parallel(const Edges& edges) {
  const std::size_t entries = edges.size();
  require_exact_length(edges.region_b.size(), entries, "edges.region_b");
  require_exact_length(edges.count.size(), entries, "edges.count");
  require_exact_length(edges.sum_a.size(), entries, "edges.sum_a");
  require_exact_length(edges.sum_b.size(), entries, "edges.sum_b");
}

}  // namespace

Tracker::Tracker(std::int32_t region_count, std::span<const std::int32_t> sizes,
                 std::size_t slots) {
  // Per-group records are indexed by label, label 0 included.
  const std::int32_t groups = wrapping_add(region_count, 1);
  if (groups < 0) fail_capacity();
  if (region_count < 0) {
    fail_index("length mismatch: sizes cannot match a negative region count");
  }
  require_exact_length(sizes.size(), static_cast<std::size_t>(region_count), "sizes");
  // Node numbers (two per slot) are 32-bit.
  if (slots >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) / 2) {
    fail_capacity();
  }
  const auto n = static_cast<std::size_t>(groups);
  region_count_ = region_count;

  groups_ = huge_zeros<Group>(n);
  folds_ = huge_zeros<Fold>(n);
  for (std::size_t g = 0; g < n; ++g) {
    groups_[g].size = g == 0 ? 0 : sizes[g - 1];
    folds_[g].parent = static_cast<std::int32_t>(g);
  }
  slots_.reserve(slots);
}

void Tracker::connect_slots() {
  // Four times the slots while the table stays below the huge-page
  // threshold: a load of a quarter at the start, so that probes mostly end
  // at the first entry, and room for the slots' worth of re-attachments of
  // the few large regions that merge first on a smooth sweep before the
  // first refill. Larger tables, twice the slots: a load of one half, room
  // for a quarter of the slots' worth. There the shorter probes save less
  // than timing can tell apart (a reused block needs no fresh pages either
  // way), and four times the slots would raise the call's peak memory by
  // over a quarter.
  const std::size_t open = slots_.size();
  const std::size_t roomy = 4 * open + 1;
  const std::size_t capacity =
      std::max<std::size_t>(16, roomy * sizeof(PairEntry) < smallest_mapped_block ? roomy : 2 * open + 1);
  pairs_ = huge_zeros<PairEntry>(capacity);
  pairs_used_ = 0;
  absorbed_ = zeros<std::uint64_t>(groups_.size() / 64 + 1);
  consumed_ = zeros<std::uint64_t>(open / 64 + 1);
  // Every node of a filled slot is linked below; an unfilled slot's never are.
  next_node_ = huge_uninitialized<std::int32_t>(2 * open);
  constexpr std::size_t ahead = 16;  // lookups requested this many slots early
  for (std::size_t k = 0; k < open; ++k) {
    if (k + ahead < open) {
      const Slot& later = slots_[k + ahead];
      prefetch_pair(later.end[0], later.end[1]);
      prefetch_group(later.end[0]);
      prefetch_group(later.end[1]);
    }
    Slot& s = slots_[k];
    if (s.end[0] == 0 && s.end[1] == 0 && s.count == 0) continue;  // unfilled placeholder
    // Two open slots between one pair of groups would break fusion.
    if (s.end[0] == s.end[1] ||
        insert_new_pair(s.end[0], s.end[1], static_cast<std::int32_t>(k)) >= 0) {
      fail_index("index out of range: repeated boundary");
    }
    link(static_cast<std::int32_t>(2 * k), s.end[0]);
    link(static_cast<std::int32_t>(2 * k + 1), s.end[1]);
  }
}

Tracker::Tracker(const Edges& edges, std::int32_t region_count,
                 std::span<const std::int32_t> sizes, double twice_nyquist)
    : Tracker(region_count, sizes, edges.size() >> 1) {
  require_parallel(edges);
  const std::size_t entries = edges.size();
  const std::size_t slots = entries >> 1;
  for (std::size_t i = 0; i < entries; ++i) {
    if (edges.region_a[i] < edges.region_b[i]) continue;
    if (slots_.size() == slots) fail_index("index out of range: more boundaries than slots");
    add_slot(edges.region_a[i], edges.region_b[i], edges.count[i], edges.sum_a[i],
             edges.sum_b[i], twice_nyquist);
  }
  // Symmetric edges fill every slot; any left over stay all-zero records,
  // linked to nothing.
  while (slots_.size() < slots) add_slot(0, 0, 0, 0.0, 0.0, twice_nyquist);
  connect_slots();
}

Tracker Tracker::from_boundaries(Edges&& boundaries, std::int32_t region_count,
                                 std::span<const std::int32_t> sizes, double twice_nyquist) {
  Tracker tracker(region_count, sizes, boundaries.size());
  require_parallel(boundaries);
  const std::size_t entries = boundaries.size();
  for (std::size_t i = 0; i < entries; ++i) {
    if (boundaries.region_a[i] <= boundaries.region_b[i]) {
      fail_index("index out of range: a boundary must start at the larger region");
    }
    tracker.add_slot(boundaries.region_a[i], boundaries.region_b[i], boundaries.count[i],
                     boundaries.sum_a[i], boundaries.sum_b[i], twice_nyquist);
  }
  boundaries = Edges{};
  tracker.connect_slots();
  return tracker;
}

void Tracker::add_slot(std::int32_t a, std::int32_t b, std::int32_t count, double sum_a,
                       double sum_b, double twice_nyquist) {
  if (!is_group(a) || !is_group(b)) fail_index("index out of range: region outside 0..R");
  Slot record;
  record.end[0] = a;
  record.end[1] = b;
  record.diff = narrow_to_float((sum_a - sum_b) / twice_nyquist);
  record.count = count;
  slots_.push_back(record);
}

int Tracker::side_of_edge_a(std::size_t slot) const noexcept {
  // The end whose group was keeper more recently; on a tie neither was since
  // the slot was built.
  const Slot& s = slots_[slot];
  return groups_[index_of(s.end[1])].kept_at > groups_[index_of(s.end[0])].kept_at ? 1 : 0;
}

std::int32_t Tracker::edge_a(std::size_t slot) const noexcept {
  return slots_[slot].end[side_of_edge_a(slot)];
}
std::int32_t Tracker::edge_b(std::size_t slot) const noexcept {
  return slots_[slot].end[1 - side_of_edge_a(slot)];
}
float Tracker::edge_diff(std::size_t slot) const noexcept {
  return side_of_edge_a(slot) == 0 ? slots_[slot].diff : -slots_[slot].diff;
}

std::int32_t Tracker::fold(std::int32_t label) const noexcept {
  std::int32_t total = 0;
  for (std::int32_t x = label; folds_[index_of(x)].parent != x; x = folds_[index_of(x)].parent) {
    total = wrapping_add(total, folds_[index_of(x)].offset);
  }
  return total;
}

void Tracker::link(std::int32_t node, std::int32_t group) noexcept {
  Slot& s = slots_[index_of(node) >> 1];
  s.end[node & 1] = group;
  next_node_[index_of(node)] = groups_[index_of(group)].head;
  groups_[index_of(group)].head = node;
}

std::size_t Tracker::pair_home(std::uint64_t key) const noexcept {
  // The mixed key scaled onto [0, capacity): any capacity, no modulo.
  __extension__ using wide = unsigned __int128;
  const std::uint64_t mixed = key * 0x9E3779B97F4A7C15ull;
  return static_cast<std::size_t>((static_cast<wide>(mixed) * pairs_.size()) >> 64);
}

std::size_t Tracker::pair_next(std::size_t i) const noexcept {
  return i + 1 == pairs_.size() ? 0 : i + 1;
}

bool Tracker::links(std::size_t slot, std::int32_t low, std::int32_t high) const noexcept {
  const Slot& s = slots_[slot];
  return (s.end[0] == low && s.end[1] == high) || (s.end[0] == high && s.end[1] == low);
}

std::int32_t Tracker::insert_new_pair(std::int32_t g, std::int32_t h, std::int32_t slot) noexcept {
  // An entry whose groups are both live names a slot that still links them:
  // a slot's ends change only when one of them is absorbed. Entries of
  // absorbed groups are never looked up again; they are not erased but
  // passed over, and the first one on the way whose smaller group was
  // absorbed is reused.
  const std::int32_t low = std::min(g, h);
  const std::int32_t high = std::max(g, h);
  std::size_t i = pair_home(key_of(low, high));
  std::size_t reusable = pairs_.size();
  for (; pairs_[i].low != 0; i = pair_next(i)) {
    const PairEntry& entry = pairs_[i];
    if (entry.low == low && links(index_of(entry.slot), low, high)) return entry.slot;
    if (reusable == pairs_.size() && was_absorbed(entry.low)) reusable = i;
  }
  if (reusable != pairs_.size()) {
    pairs_[reusable] = PairEntry{low, slot};
    return -1;
  }
  pairs_[i] = PairEntry{low, slot};
  ++pairs_used_;
  return -1;
}

void Tracker::refill_pairs() noexcept {
  std::fill(pairs_.begin(), pairs_.end(), PairEntry{});
  pairs_used_ = 0;
  const std::size_t slot_total = slots_.size();
  constexpr std::size_t ahead = 16;  // lookups requested this many slots early
  for (std::size_t k = 0; k < slot_total; ++k) {
    if (k + ahead < slot_total) {
      prefetch_pair(slots_[k + ahead].end[0], slots_[k + ahead].end[1]);
    }
    const Slot& s = slots_[k];
    if (s.count == consumed_slot || s.end[0] == s.end[1]) continue;
    if (was_absorbed(s.end[0]) || was_absorbed(s.end[1])) continue;
    const std::int32_t low = std::min(s.end[0], s.end[1]);
    const std::int32_t high = std::max(s.end[0], s.end[1]);
    std::size_t i = pair_home(key_of(low, high));
    while (pairs_[i].low != 0) i = pair_next(i);
    pairs_[i] = PairEntry{low, static_cast<std::int32_t>(k)};
    ++pairs_used_;
  }
}

void Tracker::prefetch_pair(std::int32_t g, std::int32_t h) const noexcept {
  __builtin_prefetch(&pairs_[pair_home(key_of(std::min(g, h), std::max(g, h)))]);
}

void Tracker::prefetch_group(std::int32_t group) const noexcept {
  __builtin_prefetch(&groups_[index_of(group)]);
}

void Tracker::prepare_selection() {
  // The initial counts are small integers, so the slots are laid out in runs
  // by count. The runs take one entry per count up to the largest, so they
  // are used only while that stays within about twice the slots (and a
  // floor for small networks); wider or negative counts all go to the heap.
  const std::size_t slot_total = slots_.size();
  std::int64_t lowest = 0;
  std::int64_t highest = -1;
  for (const Slot& s : slots_) {
    lowest = std::min<std::int64_t>(lowest, s.count);
    highest = std::max<std::int64_t>(highest, s.count);
  }
  if (lowest >= 0 && highest <= 2 * static_cast<std::int64_t>(slot_total) + 1024) {
    const auto run_count = static_cast<std::size_t>(highest) + 1;
    run_end_ = zeros<std::uint32_t>(run_count);
    for (const Slot& s : slots_) ++run_end_[static_cast<std::size_t>(s.count)];
    for (std::size_t c = 1; c < run_count; ++c) run_end_[c] += run_end_[c - 1];
    run_front_ = zeros<std::uint32_t>(run_count);
    for (std::size_t c = 1; c < run_count; ++c) run_front_[c] = run_end_[c - 1];
    run_slots_ = zeros<std::int32_t>(slot_total);
    Buffer<std::uint32_t> fill(run_front_.begin(), run_front_.end());
    for (std::size_t k = 0; k < slot_total; ++k) {
      run_slots_[fill[static_cast<std::size_t>(slots_[k].count)]++] = static_cast<std::int32_t>(k);
    }
    top_run_ = highest;
  } else {
    candidates_ = zeros<std::uint64_t>(slot_total);
    for (std::size_t k = 0; k < slot_total; ++k) {
      candidates_[k] = candidate_key(slots_[k].count, k);
    }
    for (std::size_t i = slot_total / heap_arity + 1; i-- > 0;) {
      if (i < slot_total) sift_down(candidates_, i);
    }
  }
}

bool Tracker::next_candidate(std::int32_t& count, std::size_t& slot) {
  while (top_run_ >= 0 && run_front_[static_cast<std::size_t>(top_run_)] ==
                              run_end_[static_cast<std::size_t>(top_run_)]) {
    --top_run_;
  }
  const bool from_run = top_run_ >= 0;
  if (!from_run && candidates_.empty()) return false;
  std::uint64_t top = 0;
  if (from_run) {
    const auto run = static_cast<std::size_t>(top_run_);
    top = candidate_key(static_cast<std::int32_t>(top_run_),
                        static_cast<std::size_t>(run_slots_[run_front_[run]]));
  }
  if (from_run && (candidates_.empty() || top > candidates_.front())) {
    ++run_front_[static_cast<std::size_t>(top_run_)];
  } else {
    top = candidates_.front();
    candidates_.front() = candidates_.back();
    candidates_.pop_back();
    if (!candidates_.empty()) sift_down(candidates_, 0);
  }
  slot = candidate_slot(top);
  count = candidate_count(top);
  return true;
}

void Tracker::push_candidate(std::size_t slot) {
  candidates_.push_back(candidate_key(slots_[slot].count, slot));
  sift_up(candidates_, candidates_.size() - 1);
}

Buffer<std::int32_t> Tracker::solve() && {
  prepare_selection();
  std::int32_t count = 0;
  std::size_t best = 0;
  while (next_candidate(count, best)) {
    // Most stale candidates name a consumed slot: the bit tells them without
    // reading the slot. The rest were raised since by a fusion.
    if (is_consumed(best) || slots_[best].count != count) continue;
    if (count < 0) break;                        // nothing open with a usable count
    if (!candidates_.empty()) {
      // Counts raised by fusion are often taken next: the heap's top is asked
      // for while this step runs.
      const Slot& later = slots_[candidate_slot(candidates_.front())];
      prefetch_group(later.end[0]);
      prefetch_group(later.end[1]);
    }
    merge_across(best, count);
  }
  // Nothing but the fold records is needed from here on.
  release(run_slots_);
  release(run_front_);
  release(run_end_);
  release(candidates_);
  release(slots_);
  release(next_node_);
  release(consumed_);
  release(pairs_);
  release(absorbed_);
  release(groups_);
  return flatten_folds();
}

void Tracker::merge_across(std::size_t best, std::int32_t count) {
  const Slot& s = slots_[best];
  const int side = side_of_edge_a(best);
  const std::int32_t a = s.end[side];
  const std::int32_t b = s.end[1 - side];
  const float diff = side == 0 ? s.diff : -s.diff;
  const std::int32_t shift = rint_to_i32(static_cast<double>(diff) / static_cast<double>(count));
  // The larger group keeps its folds; on equal sizes the edge_b side does.
  const auto slot = static_cast<std::int32_t>(best);
  if (groups_[index_of(a)].size > groups_[index_of(b)].size) {
    join(slot, a, b, shift);
  } else {
    join(slot, b, a, wrapping_neg(shift));
  }
}

Buffer<std::int32_t> Tracker::flatten_folds() {
  const std::size_t n = folds_.size();
  Buffer<std::int32_t> folds = zeros<std::int32_t>(n);
  for (std::size_t l = 0; l < n; ++l) {
    // Sum the shifts along the chain of keepers, then hang the chain on its
    // root with the partial sums so that later lookups are short.
    const auto label = static_cast<std::int32_t>(l);
    const std::int32_t total = fold(label);
    std::int32_t root = label;
    while (folds_[index_of(root)].parent != root) root = folds_[index_of(root)].parent;
    std::int32_t remaining = total;
    for (std::int32_t x = label; folds_[index_of(x)].parent != x;) {
      Fold& g = folds_[index_of(x)];
      const std::int32_t up = g.parent;
      const std::int32_t offset = g.offset;
      g.parent = root;
      g.offset = remaining;
      remaining = wrapping_sub(remaining, offset);
      x = up;
    }
    folds[l] = total;
  }
  return folds;
}

void Tracker::join(std::int32_t best, std::int32_t keeper, std::int32_t absorbed,
                   std::int32_t delta) {
  if (!is_group(keeper) || !is_group(absorbed) || static_cast<std::uint32_t>(best) >= slots_.size()) {
    fail_index("index out of range: merge step outside the network");
  }
  ++step_;
  const std::size_t open = shift_boundaries(keeper, absorbed, delta);
  absorb(keeper, absorbed, delta);
  // Consumed: it drops out of both lists when they are next walked.
  consume(index_of(best));
  // Every re-attached slot may take a new pair entry. Linear probing slows
  // down sharply past a load of three quarters, entries of absorbed groups
  // included, so there the table is filled afresh from the open slots
  // between live groups.
  if (pairs_used_ + open > pairs_.size() / 4 * 3) refill_pairs();
  // The keeper turns all its open slots, old and re-attached, toward itself.
  groups_[index_of(keeper)].kept_at = step_;
  reattach(keeper, absorbed);
}

std::size_t Tracker::shift_boundaries(std::int32_t keeper, std::int32_t absorbed,
                                      std::int32_t delta) {
  // One walk of the absorbed group's list, a chain of dependent loads: every
  // boundary moves by delta folds per gate pair, toward the absorbed side,
  // and the pair lookups of the re-attachment are requested as soon as each
  // slot is in hand, so that they overlap the rest of the walk. Consumed
  // slots are passed over: nothing reads them again. Returns the open slots.
  std::size_t open = 0;
  for (std::int32_t node = groups_[index_of(absorbed)].head; node >= 0;
       node = next_node_[index_of(node)]) {
    const std::size_t e = index_of(node) >> 1;
    if (!is_consumed(e)) {
      Slot& s = slots_[e];
      const int side = node & 1;
      ++open;
      if (delta != 0) {
        const double p = static_cast<double>(static_cast<std::int64_t>(s.count) *
                                             static_cast<std::int64_t>(delta));
        const double diff = static_cast<double>(s.diff);
        s.diff = narrow_to_float(side == 0 ? diff + p : diff - p);
      }
      prefetch_pair(keeper, s.end[1 - side]);
    }
  }
  return open;
}

void Tracker::absorb(std::int32_t keeper, std::int32_t absorbed, std::int32_t delta) {
  Group& kept = groups_[index_of(keeper)];
  Group& gone = groups_[index_of(absorbed)];
  // The absorbed group's regions follow the keeper from now on.
  folds_[index_of(absorbed)] = Fold{keeper, delta};
  kept.size = wrapping_add(kept.size, gone.size);
  gone.size = 0;
  // Its pair entries, those of the slot just taken included, go out of use.
  if (keeper != absorbed) {
    absorbed_[index_of(absorbed) / 64] |= std::uint64_t{1} << (index_of(absorbed) % 64);
  }
}

void Tracker::reattach(std::int32_t keeper, std::int32_t absorbed) {
  // The absorbed group's boundaries move to the keeper; those that lead to a
  // group the keeper already borders are fused into that boundary. The open
  // ones left are chained afresh and put in front of the keeper's list.
  Group& kept = groups_[index_of(keeper)];
  Group& gone = groups_[index_of(absorbed)];
  std::int32_t survivors_head = -1;
  std::int32_t survivors_tail = -1;
  for (std::int32_t node = gone.head; node >= 0;) {
    const std::size_t e = index_of(node) >> 1;
    const int side = node & 1;  // the absorbed group's end
    const std::int32_t following = next_node_[index_of(node)];
    if (is_consumed(e)) {
      node = following;
      continue;
    }
    Slot& s = slots_[e];
    const std::int32_t other = s.end[1 - side];
    const std::int32_t f = insert_new_pair(keeper, other, static_cast<std::int32_t>(e));
    // (Only a group merged with itself finds its own slot: nothing to fuse.)
    if (f < 0 || index_of(f) == e) {
      s.end[side] = keeper;
      if (survivors_tail >= 0) {
        next_node_[index_of(survivors_tail)] = node;
      } else {
        survivors_head = node;
      }
      survivors_tail = node;
    } else {
      fuse(index_of(f), e, side, keeper);
      // A raised count is often taken next: its far group is asked for now.
      prefetch_group(other);
    }
    node = following;
  }
  if (survivors_tail >= 0) {
    next_node_[index_of(survivors_tail)] = kept.head;
    kept.head = survivors_head;
  }
  gone.head = -1;
}

void Tracker::consume(std::size_t slot) noexcept {
  slots_[slot].count = consumed_slot;
  consumed_[slot / 64] |= std::uint64_t{1} << (slot % 64);
}

void Tracker::fuse(std::size_t into, std::size_t from, int from_side, std::int32_t keeper) {
  // Both statistics seen from the keeper toward the far group, summed in
  // float, then stored in the orientation of `into`.
  Slot& s = slots_[from];
  Slot& fused = slots_[into];
  const int keeper_end = fused.end[0] == keeper ? 0 : 1;
  const float from_keeper_e = from_side == 0 ? s.diff : -s.diff;
  const float from_keeper_f = keeper_end == 0 ? fused.diff : -fused.diff;
  const float sum = from_keeper_e + from_keeper_f;
  fused.diff = keeper_end == 0 ? sum : -sum;
  fused.count = wrapping_add(fused.count, s.count);
  consume(from);  // also drops out of the far group's list later
  push_candidate(into);
}

}  // namespace vornak
