// The fold network: greedy agglomeration of regions across their strongest
// boundaries, giving one fold count per region.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "vornak/buffer.hpp"
#include "vornak/edges.hpp"
#include "vornak/huge_pages.hpp"

namespace vornak {

inline constexpr std::int32_t consumed_slot = -999;

// Groups are region labels (0 = no region, never at a boundary); a group keeps
// its id when it absorbs another. Slots are the boundaries, one per unordered
// pair of groups in contact; a slot's orientation (which group is edge_a) and
// edge_diff (edge_a side minus edge_b side, in fold intervals, float32) follow
// every merge.
//
// Each merge step takes the open slot with the largest count (lowest slot on
// ties), rounds the mean difference across it to the fold shift, keeps the
// larger group (the edge_b side on equal sizes), shifts the other, and
// re-attaches its boundaries to the keeper, fusing parallel ones.
class Tracker {
 public:
  // From the full, symmetric Edges: slot k is the k-th entry whose region_a
  // is not smaller than its region_b. `sizes` holds the gate count of region
  // l at l - 1 and must hold exactly region_count entries; `twice_nyquist` is
  // nyquist + nyquist.
  Tracker(const Edges& edges, std::int32_t region_count, std::span<const std::int32_t> sizes,
          double twice_nyquist);

  // From boundaries as find_boundaries gives them: every entry is a slot.
  // The boundaries are released as soon as the slots hold their values.
  [[nodiscard]] static Tracker from_boundaries(Edges&& boundaries, std::int32_t region_count,
                                               std::span<const std::int32_t> sizes,
                                               double twice_nyquist);

  // Runs the merge loop and returns the fold count per region label
  // (region_count + 1 entries, [0] = 0). Consumes the tracker.
  [[nodiscard]] Buffer<std::int32_t> solve() &&;

  // One merge step: absorbs `absorbed` into `keeper` across slot `best`,
  // shifting the absorbed group by `delta` folds.
  void join(std::int32_t best, std::int32_t keeper, std::int32_t absorbed, std::int32_t delta);

  // Read access to the current state.
  [[nodiscard]] std::size_t slot_count() const noexcept { return slots_.size(); }
  [[nodiscard]] std::int32_t edge_a(std::size_t slot) const noexcept;
  [[nodiscard]] std::int32_t edge_b(std::size_t slot) const noexcept;
  [[nodiscard]] float edge_diff(std::size_t slot) const noexcept;
  [[nodiscard]] std::int32_t edge_count(std::size_t slot) const noexcept {
    return slots_[slot].count;
  }
  [[nodiscard]] std::int32_t group_size(std::int32_t group) const noexcept {
    return groups_[static_cast<std::size_t>(group)].size;
  }
  [[nodiscard]] std::int32_t fold(std::int32_t label) const noexcept;

 private:
  Tracker(std::int32_t region_count, std::span<const std::int32_t> sizes, std::size_t slots);
  void add_slot(std::int32_t a, std::int32_t b, std::int32_t count, double sum_a, double sum_b,
                double twice_nyquist);
  // Lists every slot at its two groups and in the pair lookup.
  void connect_slots();

  // Group ids are checked as unsigned values against region_count.
  [[nodiscard]] bool is_group(std::int32_t id) const noexcept {
    return static_cast<std::uint32_t>(id) <= static_cast<std::uint32_t>(region_count_);
  }
  [[nodiscard]] int side_of_edge_a(std::size_t slot) const noexcept;
  void link(std::int32_t node, std::int32_t group) noexcept;

  // Open-slot lookup by unordered group pair, both groups live. Inserts
  // unless present; returns the slot already there, or -1. Entries of
  // absorbed groups stay until an insert reuses them or the table is
  // refilled from the open slots.
  std::int32_t insert_new_pair(std::int32_t g, std::int32_t h, std::int32_t slot) noexcept;
  void refill_pairs() noexcept;
  // Whether `slot` links the two groups, either way round.
  [[nodiscard]] bool links(std::size_t slot, std::int32_t low, std::int32_t high) const noexcept;
  [[nodiscard]] bool is_consumed(std::size_t slot) const noexcept {
    return (consumed_[slot / 64] >> (slot % 64) & 1) != 0;
  }
  void consume(std::size_t slot) noexcept;
  [[nodiscard]] bool was_absorbed(std::int32_t group) const noexcept {
    return (absorbed_[static_cast<std::size_t>(group) / 64] >>
            (static_cast<std::size_t>(group) % 64) & 1) != 0;
  }
  [[nodiscard]] std::size_t pair_home(std::uint64_t key) const noexcept;
  [[nodiscard]] std::size_t pair_next(std::size_t i) const noexcept;

  // Merge order (see solve): the open slot with the largest count, the
  // lowest slot on ties.
  void prepare_selection();
  // The next candidate as (count, slot), stale ones included; false once no
  // candidate is left.
  bool next_candidate(std::int32_t& count, std::size_t& slot);
  // A count raised by fusion re-enters the selection.
  void push_candidate(std::size_t slot);

  // The steps of a merge: merge_across rounds the shift and picks the
  // keeper; join then shifts the absorbed group's boundaries (returning how
  // many are open), absorbs the group (folds, sizes) and re-attaches its
  // boundaries to the keeper, fusing those parallel to one it has.
  void merge_across(std::size_t best, std::int32_t count);
  std::size_t shift_boundaries(std::int32_t keeper, std::int32_t absorbed, std::int32_t delta);
  void absorb(std::int32_t keeper, std::int32_t absorbed, std::int32_t delta);
  void reattach(std::int32_t keeper, std::int32_t absorbed);
  void fuse(std::size_t into, std::size_t from, int from_side, std::int32_t keeper);
  [[nodiscard]] Buffer<std::int32_t> flatten_folds();

  // Cache-line requests for what a later step reads.
  void prefetch_pair(std::int32_t g, std::int32_t h) const noexcept;
  void prefetch_group(std::int32_t group) const noexcept;

  // One record per group (region_count + 1 of them), one per slot, two list
  // nodes per slot (node 2k and 2k + 1 are slot k's two ends): what one step
  // touches of a group or a slot sits together in memory, the list links
  // apart (see next_node_). A group's fold record is apart too: written once
  // when it is absorbed, read at the end. The large tables are on huge pages.
  struct Group {
    std::int32_t size = 0;
    std::int32_t head = -1;     // first node of the group's open slots, -1 if none
    std::uint32_t kept_at = 0;  // last step at which it was the keeper, 0 if never
  };
  struct Fold {
    std::int32_t parent = 0;  // absorbed groups hang under their keeper...
    std::int32_t offset = 0;  // ...with the fold shift they received
  };
  // A slot's statistic is kept as seen from end[0] toward end[1], so merges
  // never rewrite it for a change of orientation (negation is exact). A
  // keeper turns all its open slots toward itself, so edge_a is the end whose
  // group was keeper last; a slot whose ends were never keepers keeps its
  // first orientation, edge_a = end[0]. Four slots fill a cache line.
  struct Slot {
    std::int32_t end[2] = {0, 0};  // the groups at the slot's two ends
    float diff = 0.0f;             // end[0] side minus end[1] side
    std::int32_t count = 0;        // gate pairs; consumed_slot once consumed
  };
  // 8 bytes: the smaller of the two groups (0 = empty) and the slot, whose
  // ends tell the larger group: a hit is confirmed at the slot, which a
  // fusion reads next in any case.
  struct PairEntry {
    std::int32_t low = 0;
    std::int32_t slot = 0;
  };

  std::int32_t region_count_ = 0;
  HugeBuffer<Group> groups_;
  HugeBuffer<Fold> folds_;
  HugeBuffer<Slot> slots_;
  // A group's open slots as a singly linked list of nodes (node 2k + side is
  // slot k's end `side`), the links apart from the slots: a walk follows
  // its chain through this smaller array, and the slots it reads hang off
  // the chain instead of being links in it, so they are read in parallel.
  // Consumed slots stay in a list until the list is next walked, which
  // drops them; one bit per slot tells them without reading the slot.
  HugeBuffer<std::int32_t> next_node_;
  Buffer<std::uint64_t> consumed_;
  // Selection: the initial counts as runs of slots, one run per count, each
  // in slot order, taken from the highest run; raised counts in a max-heap
  // of (count, slot) keys. Stale entries are skipped when taken.
  Buffer<std::int32_t> run_slots_;
  Buffer<std::uint32_t> run_front_;  // run c is run_slots_[run_front_[c], run_end_[c])
  Buffer<std::uint32_t> run_end_;
  std::int64_t top_run_ = -1;
  Buffer<std::uint64_t> candidates_;
  HugeBuffer<PairEntry> pairs_;       // open addressing, linear probing
  std::size_t pairs_used_ = 0;        // entries in use, absorbed groups' included
  Buffer<std::uint64_t> absorbed_;    // one bit per group, set once absorbed

  std::uint32_t step_ = 0;
};

}  // namespace vornak
