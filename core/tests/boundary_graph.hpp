// Test support: boundary graphs handed to the fold network as the edge stage
// would, both orientations of every boundary in (region_b, region_a) order.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "vornak/edges.hpp"

namespace vornak {

struct Pair {
  std::int32_t a, b, count;
  double sum_a, sum_b;
};

// Both orientations of every boundary, sorted by (region_b, region_a).
inline Edges make_edges(const std::vector<Pair>& boundaries) {
  std::vector<Pair> all;
  for (const Pair& p : boundaries) {
    all.push_back(p);
    all.push_back({p.b, p.a, p.count, p.sum_b, p.sum_a});
  }
  std::stable_sort(all.begin(), all.end(), [](const Pair& x, const Pair& y) {
    return x.b != y.b ? x.b < y.b : x.a < y.a;
  });
  Edges edges;
  for (const Pair& p : all) {
    edges.region_a.push_back(p.a);
    edges.region_b.push_back(p.b);
    edges.count.push_back(p.count);
    edges.sum_a.push_back(p.sum_a);
    edges.sum_b.push_back(p.sum_b);
  }
  return edges;
}

}  // namespace vornak
