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

// Centring: takes the integer nearest the gate-weighted mean fold (rint, ties
// to even) off every entry of `folds`, the no-region slot [0] included, so
// that the mean lies within half a fold of zero. folds[l] is the fold of
// region l, sizes[l - 1] its gate count; folds holds sizes.size() + 1 entries.
void center_folds(std::span<std::int32_t> folds, std::span<const std::int32_t> sizes);

}  // namespace vornak
