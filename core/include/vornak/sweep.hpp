// The dealiasing of one sweep: per-gate fold counts such that
// vel + folds * 2 * nyquist is the dealiased velocity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "vornak/buffer.hpp"

namespace vornak {

// Tuning of one call; the defaults are those of the Python function.
struct SweepParams {
  std::int64_t interval_splits = 3;
  std::int64_t skip_between_rays = 100;
  std::int64_t skip_along_ray = 100;
  bool centered = true;
};

using FoldCounts = Buffer<std::int32_t>;

// Returns nrays * ngates fold counts in ray-major gate order.
// `vel` and `mask` (non-zero = excluded) hold nrays * ngates values each.
// Throws vornak::Failure ("capacity overflow", or an index failure for
// buffers too short); exhausted memory aborts the process. Thread-safe: the
// call shares nothing.
[[nodiscard]] FoldCounts sweep_folds(std::span<const float> vel, std::size_t nrays,
                                     std::size_t ngates, std::span<const std::uint8_t> mask,
                                     double nyquist, bool rays_wrap_around,
                                     const SweepParams& params);

}  // namespace vornak
