// The gate grid: nrays rays by ngates gates, ray-major. Gate indices are held
// in signed 32 bits, so a sweep holds fewer than 2^31 gates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "vornak/failure.hpp"

namespace vornak {

inline constexpr std::size_t max_gates =
    static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());

// Returns nrays * ngates; the capacity failure when the product overflows or
// the grid holds more gates than a signed 32-bit index can number.
[[nodiscard]] inline std::size_t gate_count(std::size_t nrays, std::size_t ngates,
                                            std::source_location where =
                                                std::source_location::current()) {
  if (ngates != 0 && nrays > max_gates / ngates) fail_capacity(where);
  return nrays * ngates;
}

}  // namespace vornak
