#include "vornak/gate_values.hpp"

#include <cmath>
#include <limits>

namespace vornak::gates {

template <class Value>
std::size_t codes_and_bound(std::span<const Value> values, double bound, std::span<const double> codes,
                            std::size_t implausible_codes, std::span<std::uint8_t> excluded) noexcept {
  std::size_t count = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto v = static_cast<double>(values[i]);
    bool implausible = std::fabs(v) > bound;
    bool flagged = false;
    for (std::size_t c = 0; c < codes.size(); ++c) {
      const bool hit = v == codes[c];
      if (c < implausible_codes) {
        implausible |= hit;
      } else {
        flagged |= hit;
      }
    }
    count += implausible;
    excluded[i] = implausible | flagged;
  }
  return count;
}

template <class Velocity, class Fold>
void unfold(std::span<const Velocity> velocity, const Fold* folds, const std::uint8_t* excluded, double span,
            std::span<float> out) noexcept {
  constexpr float missing = std::numeric_limits<float>::quiet_NaN();
  for (std::size_t i = 0; i < velocity.size(); ++i) {
    const double value = static_cast<double>(velocity[i]) + static_cast<double>(folds[i]) * span;
    out[i] = excluded[i] ? missing : static_cast<float>(value);
  }
}

template std::size_t codes_and_bound<float>(std::span<const float>, double, std::span<const double>, std::size_t,
                                            std::span<std::uint8_t>) noexcept;
template std::size_t codes_and_bound<double>(std::span<const double>, double, std::span<const double>, std::size_t,
                                             std::span<std::uint8_t>) noexcept;
template void unfold<float, std::int32_t>(std::span<const float>, const std::int32_t*, const std::uint8_t*, double,
                                          std::span<float>) noexcept;
template void unfold<float, std::int64_t>(std::span<const float>, const std::int64_t*, const std::uint8_t*, double,
                                          std::span<float>) noexcept;
template void unfold<double, std::int32_t>(std::span<const double>, const std::int32_t*, const std::uint8_t*,
                                           double, std::span<float>) noexcept;
template void unfold<double, std::int64_t>(std::span<const double>, const std::int64_t*, const std::uint8_t*,
                                           double, std::span<float>) noexcept;

}  // namespace vornak::gates
