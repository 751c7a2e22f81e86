// The sampled noise count of a sweep (python/vornak/_noise.py): the gates of
// every step-th ray judged against all their neighbours, as the full count
// judges them, in one pass over those rays.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vornak::noise {

struct Count {
  std::size_t noisy = 0;
  std::size_t valid = 0;
};

// Over the rays 0, step, 2 step, ... of `velocity` (rays x gates, C order):
// the valid gates (finite, not `excluded`; null excludes none) and the noisy
// ones among them, those that differ by more than `limit` from at least half
// of their valid neighbours along and across rays (or have none), a
// difference taken round the interval `span`: d - span x rint(d / span), in
// float. The rays before and after a ray are taken round the circle when
// `wrap` and there are more than two rays; else only those inside.
[[nodiscard]] Count sampled_noise(const float* velocity, const std::uint8_t* excluded, std::size_t rays,
                                  std::size_t gates, float span, float limit, bool wrap, std::size_t step) noexcept;

}  // namespace vornak::noise
