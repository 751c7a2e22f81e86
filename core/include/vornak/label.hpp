// Four-connected components of one membership mask, by union-find.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "vornak/buffer.hpp"

namespace vornak {

struct Components {
  Buffer<std::int32_t> labels;  // 1..count per member gate in scan order of first gate, 0 outside
  std::int32_t count = 0;
};

// Labels the gates with inside[i] != 0 into four-connected components (along
// a ray and across adjacent rays; never across the first/last ray, never
// diagonally). Components are numbered in the order a ray-major scan meets
// their first gate. Precondition: inside.size() >= nrays * ngates.
[[nodiscard]] Components label_components(std::span<const std::uint8_t> inside, std::size_t nrays,
                                          std::size_t ngates);

// Root of x in the union-find forest `parent`, halving the path on the way.
// Inline: labelling calls it for every pair of joined runs.
[[nodiscard]] inline std::int32_t find_root(std::span<std::int32_t> parent, std::int32_t x) noexcept {
  for (;;) {
    const std::int32_t p = parent[static_cast<std::size_t>(x)];
    if (p == x) return x;
    // Path halving: hang x under its grandparent and continue from there.
    parent[static_cast<std::size_t>(x)] = parent[static_cast<std::size_t>(p)];
    x = parent[static_cast<std::size_t>(x)];
  }
}

}  // namespace vornak
