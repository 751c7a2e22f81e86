// Gate-by-gate connected components of one membership mask, by union-find.
#include "vornak/label.hpp"

#include "vornak/grid.hpp"

namespace vornak {

namespace {

void join(std::span<std::int32_t> parent, std::int32_t i, std::int32_t j) noexcept {
  const std::int32_t a = find_root(parent, i);
  const std::int32_t b = find_root(parent, j);
  // The neighbour's root goes under the current gate's root.
  if (a != b) parent[static_cast<std::size_t>(b)] = a;
}

}  // namespace

Components label_components(std::span<const std::uint8_t> inside, std::size_t nrays,
                            std::size_t ngates) {
  const std::size_t n = gate_count(nrays, ngates);
  require_length(inside.size(), n, "inside");

  Buffer<std::int32_t> parent = filled<std::int32_t>(n, -1);
  for (std::size_t i = 0; i < n; ++i) {
    if (inside[i] != 0) parent[i] = static_cast<std::int32_t>(i);
  }

  for (std::size_t r = 0; r < nrays; ++r) {
    for (std::size_t g = 0; g < ngates; ++g) {
      const std::size_t i = r * ngates + g;
      if (inside[i] == 0) continue;
      const auto gate = static_cast<std::int32_t>(i);
      if (g > 0 && inside[i - 1] != 0) join(parent, gate, gate - 1);
      if (r > 0 && inside[i - ngates] != 0) {
        join(parent, gate, static_cast<std::int32_t>(i - ngates));
      }
    }
  }

  // Number components by the first gate a ray-major scan meets, so the
  // numbering depends only on connectivity, not on the shape of the forest.
  Buffer<std::int32_t> root_label = zeros<std::int32_t>(n);
  Components result{zeros<std::int32_t>(n), 0};
  for (std::size_t i = 0; i < n; ++i) {
    if (inside[i] == 0) continue;
    const auto root = static_cast<std::size_t>(find_root(parent, static_cast<std::int32_t>(i)));
    if (root_label[root] == 0) root_label[root] = ++result.count;
    result.labels[i] = root_label[root];
  }
  return result;
}

}  // namespace vornak
