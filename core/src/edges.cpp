#include "vornak/edges.hpp"

#include <algorithm>
#include <limits>

#include "vornak/grid.hpp"
#include "vornak/numeric.hpp"

namespace vornak {

namespace {

// Number of candidates a walk may examine: the adjacent gate and `skip`
// further ones; a skip of zero or less allows only the adjacent gate.
std::uint64_t walk_length(std::int64_t skip) noexcept {
  return skip <= 0 ? 1 : static_cast<std::uint64_t>(skip) + 1;
}

// The walks of the scan: every labelled gate, in ray-major order, looks for
// the first labelled gate toward the previous ray, the next ray, the previous
// gate and the next gate, in that order, and hands each one found to
// `contact(a, va_index, b_index)`. The first labelled gate of a walk comes
// from running positions instead of stepping over the unlabelled gates.
template <class Contact>
void walk_contacts(std::span<const std::int32_t> labels, std::size_t nrays, std::size_t ngates,
                   bool rays_wrap_around, std::uint64_t across, std::uint64_t along,
                   Contact&& contact) {
  const auto no_ray = static_cast<std::uint32_t>(nrays);
  // Per gate column: the last labelled ray so far, a cursor on the next
  // labelled ray, and, found when first needed, the first and last labelled
  // rays (for walks that come round the end of the sweep). A column asked
  // for them holds a labelled gate, so the searches end.
  Buffer<std::uint32_t> previous_ray = filled<std::uint32_t>(ngates, no_ray);
  Buffer<std::uint32_t> next_ray = filled<std::uint32_t>(ngates, 0);
  constexpr std::uint32_t unknown = std::numeric_limits<std::uint32_t>::max();
  Buffer<std::uint32_t> first_ray;
  Buffer<std::uint32_t> last_ray;
  if (rays_wrap_around) {
    first_ray = filled<std::uint32_t>(ngates, unknown);
    last_ray = filled<std::uint32_t>(ngates, unknown);
  }
  auto first_labelled = [&](std::size_t g) -> std::size_t {
    if (first_ray[g] == unknown) {
      std::size_t r = 0;
      while (labels[r * ngates + g] == 0) ++r;
      first_ray[g] = static_cast<std::uint32_t>(r);
    }
    return first_ray[g];
  };
  auto last_labelled = [&](std::size_t g) -> std::size_t {
    if (last_ray[g] == unknown) {
      std::size_t r = nrays - 1;
      while (labels[r * ngates + g] == 0) --r;
      last_ray[g] = static_cast<std::uint32_t>(r);
    }
    return last_ray[g];
  };

  for (std::size_t r = 0; r < nrays; ++r) {
    const std::size_t row = r * ngates;
    std::size_t previous_gate = ngates;  // none yet on this ray
    std::size_t next_gate = 0;           // cursor: first labelled gate at or after it
    for (std::size_t g = 0; g < ngates; ++g) {
      const std::size_t i = row + g;
      const std::int32_t a = labels[i];
      if (a == 0) continue;
      // Inside a region all four walks end at once on the same region: no
      // contact. (The cursors may lag; they only ever move forward.)
      if (g > 0 && g + 1 < ngates && r > 0 && r + 1 < nrays && labels[i - 1] == a &&
          labels[i + 1] == a && labels[i - ngates] == a && labels[i + ngates] == a) {
        previous_gate = g;
        previous_ray[g] = static_cast<std::uint32_t>(r);
        continue;
      }

      if (previous_ray[g] != no_ray) {
        const std::size_t p = previous_ray[g];
        if (r - p <= across) contact(a, i, p * ngates + g);
      } else if (rays_wrap_around) {
        // Round the end to the last labelled ray, which may be this one.
        const std::size_t p = last_labelled(g);
        if (r + nrays - p <= across) contact(a, i, p * ngates + g);
      }

      std::size_t q = std::max<std::size_t>(next_ray[g], r + 1);
      while (q < nrays && labels[q * ngates + g] == 0) ++q;
      next_ray[g] = static_cast<std::uint32_t>(q);
      if (q < nrays) {
        if (q - r <= across) contact(a, i, q * ngates + g);
      } else if (rays_wrap_around) {
        const std::size_t f = first_labelled(g);
        if (f + nrays - r <= across) contact(a, i, f * ngates + g);
      }

      if (previous_gate != ngates && g - previous_gate <= along) {
        contact(a, i, row + previous_gate);
      }

      std::size_t s = std::max(next_gate, g + 1);
      while (s < ngates && labels[row + s] == 0) ++s;
      next_gate = s;
      if (s < ngates && s - g <= along) contact(a, i, row + s);

      previous_gate = g;
      previous_ray[g] = static_cast<std::uint32_t>(r);
    }
  }
}

// One contact as kept between the two scans: the far region and both
// velocities as measured (widened when summed, which is exact).
struct Contact {
  std::int32_t region_b;
  float vel_a;
  float vel_b;
};

// Contacts are bucketed by their first region in scan order (a counting
// scan, then a filling scan), and each bucket is condensed per second region
// straight into its place in (region_b, region_a) order: first regions are
// visited in ascending order, so within one second region the entries come
// out ascending too. The sums thus add each pair's contacts in scan order,
// exactly as collecting all contacts and sorting them stably by pair would.
template <bool larger_first_only>
Edges scan_edges(std::span<const std::int32_t> labels, std::span<const float> vel,
                 std::size_t nrays, std::size_t ngates, bool rays_wrap_around,
                 std::int64_t skip_between_rays, std::int64_t skip_along_ray) {
  const std::size_t n = gate_count(nrays, ngates);
  require_length(labels.size(), n, "labels");
  require_length(vel.size(), n, "vel");
  labels = labels.first(n);
  Edges edges;
  if (n == 0) return edges;

  std::int32_t largest = 0;
  for (const std::int32_t label : labels) {
    if (label < 0) fail_index("index out of range: a region label is negative");
    largest = std::max(largest, label);
  }
  if (largest < 2) return edges;
  const auto regions = static_cast<std::size_t>(largest);
  const std::uint64_t across = walk_length(skip_between_rays);
  const std::uint64_t along = walk_length(skip_along_ray);
  auto wanted = [](std::int32_t a, std::int32_t b) {
    return b != a && (!larger_first_only || b < a);
  };

  // Bucket a holds contacts[start[a], start[a + 1]).
  Buffer<std::size_t> start = zeros<std::size_t>(regions + 2);
  walk_contacts(labels, nrays, ngates, rays_wrap_around, across, along,
                [&](std::int32_t a, std::size_t, std::size_t j) {
                  if (wanted(a, labels[j])) ++start[static_cast<std::size_t>(a) + 1];
                });
  for (std::size_t a = 1; a < start.size(); ++a) start[a] += start[a - 1];
  const std::size_t total = start.back();
  if (total == 0) return edges;

  Buffer<Contact> contacts = zeros<Contact>(total);
  {
    Buffer<std::size_t> fill(start.begin(), start.end() - 1);
    walk_contacts(labels, nrays, ngates, rays_wrap_around, across, along,
                  [&](std::int32_t a, std::size_t i, std::size_t j) {
                    const std::int32_t b = labels[j];
                    if (wanted(a, b)) {
                      contacts[fill[static_cast<std::size_t>(a)]++] = Contact{b, vel[i], vel[j]};
                    }
                  });
  }

  // Entries per second region, counting each (first, second) pair once.
  Buffer<std::int32_t> seen_in = zeros<std::int32_t>(regions + 1);
  Buffer<std::size_t> place = zeros<std::size_t>(regions + 2);
  for (std::size_t a = 1; a <= regions; ++a) {
    for (std::size_t c = start[a]; c < start[a + 1]; ++c) {
      const auto b = static_cast<std::size_t>(contacts[c].region_b);
      if (seen_in[b] == static_cast<std::int32_t>(a)) continue;
      seen_in[b] = static_cast<std::int32_t>(a);
      ++place[b + 1];
    }
  }
  for (std::size_t b = 1; b < place.size(); ++b) place[b] += place[b - 1];
  const std::size_t entries = place.back();

  edges.region_a = zeros<std::int32_t>(entries);
  edges.region_b = zeros<std::int32_t>(entries);
  edges.count = zeros<std::int32_t>(entries);
  edges.sum_a = zeros<double>(entries);
  edges.sum_b = zeros<double>(entries);
  std::fill(seen_in.begin(), seen_in.end(), 0);
  Buffer<std::size_t> entry_of = zeros<std::size_t>(regions + 1);
  for (std::size_t a = 1; a <= regions; ++a) {
    for (std::size_t c = start[a]; c < start[a + 1]; ++c) {
      const Contact& contact = contacts[c];
      const auto b = static_cast<std::size_t>(contact.region_b);
      if (seen_in[b] != static_cast<std::int32_t>(a)) {
        seen_in[b] = static_cast<std::int32_t>(a);
        entry_of[b] = place[b]++;
        edges.region_a[entry_of[b]] = static_cast<std::int32_t>(a);
        edges.region_b[entry_of[b]] = contact.region_b;
      }
      const std::size_t e = entry_of[b];
      edges.count[e] = wrapping_add(edges.count[e], std::int32_t{1});
      edges.sum_a[e] += widen(contact.vel_a);
      edges.sum_b[e] += widen(contact.vel_b);
    }
  }
  return edges;
}

}  // namespace

Edges find_edges(std::span<const std::int32_t> labels, std::span<const float> vel,
                 std::size_t nrays, std::size_t ngates, bool rays_wrap_around,
                 std::int64_t skip_between_rays, std::int64_t skip_along_ray) {
  return scan_edges<false>(labels, vel, nrays, ngates, rays_wrap_around, skip_between_rays,
                           skip_along_ray);
}

Edges find_boundaries(std::span<const std::int32_t> labels, std::span<const float> vel,
                      std::size_t nrays, std::size_t ngates, bool rays_wrap_around,
                      std::int64_t skip_between_rays, std::int64_t skip_along_ray) {
  return scan_edges<true>(labels, vel, nrays, ngates, rays_wrap_around, skip_between_rays,
                          skip_along_ray);
}

}  // namespace vornak
