// Agreement with a reference: the whole folds that most co-located gates ask
// for, for a whole sweep and then for each of its echo components.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace vornak::anchor {

// When a shift counts: at least `min_gates` gates with a reference, and
// `min_agreement` of them asking for the same shift; shifts are counted up
// to `max_shift` folds either way (larger ones as that).
struct Consensus {
  std::int64_t min_gates = 0;
  double min_agreement = 0.0;
  std::int64_t max_shift = 0;
};

// Shift that most of `wanted` ask for when it counts, else 0.
[[nodiscard]] std::int64_t consensus(std::span<const std::int64_t> wanted, const Consensus& rule);

// `size` values left as they are until written: each is written once, and
// zeroing them first would be a pass of its own.
template <class T>
class Unset {
 public:
  explicit Unset(std::size_t size) : data_(new T[size]), size_(size) {}
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }

 private:
  std::unique_ptr<T[]> data_;
  std::size_t size_;
};

// The whole folds that bring each gate with a reference (finite) to it: the
// rounded difference in units of `span`, in the reference's precision; and
// how many gates ask for each shift, counted up to `max_shift` either way
// (larger ones as that), taken on the same pass.
struct Wanted {
  Unset<std::int64_t> folds;         // per gate, 0 without a reference
  Unset<std::uint8_t> has;           // per gate: whether it has a reference
  std::int64_t compared = 0;         // gates with a reference
  std::vector<std::int64_t> counts;  // per shift, -max_shift to max_shift
};
[[nodiscard]] Wanted wanted_folds(std::span<const float> reference, std::span<const float> dealiased, double span,
                                  std::int64_t max_shift);
[[nodiscard]] Wanted wanted_folds(std::span<const double> reference, std::span<const float> dealiased, double span,
                                  std::int64_t max_shift);

// The shift most gates with a reference ask for, where it counts, else 0;
// `wanted` counted up to the rule's max_shift.
[[nodiscard]] std::int64_t sweep_shift(const Wanted& wanted, const Consensus& rule);

// Gates asking for another shift than `sweep_shift` next to another such
// gate (consecutive valid gates, both with a reference): noise comes one by
// one.
[[nodiscard]] std::int64_t paired_dissent(const Wanted& wanted, std::int64_t sweep_shift) noexcept;

// Shift of each component beyond `sweep_shift`, 0 where it does not count
// or fewer than `min_covered` of the component's gates have a reference.
// Precondition: one component number (below `components`) per gate.
[[nodiscard]] std::vector<std::int64_t> component_shifts(const Wanted& wanted, std::int64_t sweep_shift,
                                                         std::span<const std::int64_t> component,
                                                         std::size_t components, const Consensus& rule,
                                                         double min_covered);

}  // namespace vornak::anchor
