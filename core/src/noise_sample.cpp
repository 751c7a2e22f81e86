// The noisy share of a sample of rays, each gate judged against its neighbours round the Nyquist interval.
#include "vornak/noise_sample.hpp"

#include <cmath>

namespace vornak::noise {

namespace {

struct Ray {
  const float* velocity;
  const std::uint8_t* excluded;  // null: none
  [[nodiscard]] bool valid(std::size_t g) const noexcept {
    return std::isfinite(velocity[g]) && (excluded == nullptr || excluded[g] == 0);
  }
};

}  // namespace

Count sampled_noise(const float* velocity, const std::uint8_t* excluded, std::size_t rays, std::size_t gates,
                    float span, float limit, bool wrap, std::size_t step) noexcept {
  Count count;
  const bool round = wrap && rays > 2;
  auto ray = [&](std::size_t r) {
    return Ray{velocity + r * gates, excluded == nullptr ? nullptr : excluded + r * gates};
  };
  auto far = [span, limit](float a, float b) {
    float diff = a - b;
    diff -= span * std::rint(diff / span);  // a whole fold is no difference
    return std::fabs(diff) > limit;
  };
  for (std::size_t r = 0; r < rays; r += step) {
    const Ray here = ray(r);
    Ray others[2];
    int nothers = 0;
    if (r > 0 || round) others[nothers++] = ray(r > 0 ? r - 1 : rays - 1);
    if (r + 1 < rays || round) others[nothers++] = ray(r + 1 < rays ? r + 1 : 0);
    for (std::size_t g = 0; g < gates; ++g) {
      if (!here.valid(g)) continue;
      const float v = here.velocity[g];
      int near = 0, differ = 0;
      auto pair = [&](const Ray& other, std::size_t at) {
        if (!other.valid(at)) return;
        ++near;
        differ += far(v, other.velocity[at]);
      };
      if (g > 0) pair(here, g - 1);
      if (g + 1 < gates) pair(here, g + 1);
      for (int k = 0; k < nothers; ++k) pair(others[k], g);
      ++count.valid;
      count.noisy += 2 * differ >= near;
    }
  }
  return count;
}

}  // namespace vornak::noise
