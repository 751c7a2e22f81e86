// Passes over the gate values of a sweep, each one read of the arrays: the
// gates that hold no velocity, and the dealiased velocities.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vornak::gates {

// The velocities as float (`single`), and marked in `excluded` (1) the gates
// the dealiasing cannot take: not finite as float, or holding a value that
// cannot be a velocity, beyond `bound` in magnitude or equal to one of
// `codes` (fill values, missing-value and flag codes). Those comparisons are
// made as double, so the caller gives `bound` and the codes at the precision
// it wants them compared in. Only the gates beyond `bound` or equal to one
// of the first `implausible_codes` codes are counted: returns that count.
template <class Value>
std::size_t codes_and_bound(std::span<const Value> values, double bound, std::span<const double> codes,
                            std::size_t implausible_codes, std::span<std::uint8_t> excluded,
                            std::span<float> single) noexcept;

// Whether the passes here may take eight gates at a time (AVX-512 on x86-64,
// known at run time); the results are the same either way.
[[nodiscard]] bool wide_gates() noexcept;

// velocity + folds x span, in double, rounded once to float; NaN where excluded.
template <class Velocity, class Fold>
void unfold(std::span<const Velocity> velocity, const Fold* folds, const std::uint8_t* excluded, double span,
            std::span<float> out) noexcept;

}  // namespace vornak::gates
