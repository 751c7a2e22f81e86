// Evenly spaced values between two ends.
#pragma once

#include <cstddef>

#include "vornak/buffer.hpp"

namespace vornak {

// Returns `count` values from `start` to `end`: value i is i * step + start
// (product first), and the last value is `end` exactly. count 0 gives none,
// count 1 gives {start}.
[[nodiscard]] Buffer<double> linspace(double start, double end, std::size_t count);

}  // namespace vornak
