// Bytes to a small sweep, through the fast core and the straightforward one:
// both must give the same fold counts bit for bit, or fail with the same text.
// The sweeps reach the corners the Python layer lets through: NaN and
// infinite velocities, velocities on the Nyquist limits and one step beyond,
// nyquist zero, negative, tiny, huge or NaN, and tuning values zero,
// negative or near the ends of the 64-bit range.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "byte_reader.hpp"
#include "straightforward.hpp"
#include "vornak/failure.hpp"
#include "vornak/regions.hpp"
#include "vornak/sweep.hpp"

namespace {

using vornak::fuzz::ByteReader;

// The straightforward core materialises every interval limit and labels
// each interval in passes over the whole sweep; beyond this much work (limits
// times gates) it would spend the fuzzer's time rather than check anything.
constexpr std::uint64_t reference_work = 2000000;

[[noreturn]] void finding(const char* what) {
  std::fprintf(stderr, "sweep_fuzz: %s\n", what);
  std::abort();
}

double pick_nyquist(ByteReader& in) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  const std::uint8_t code = in.byte();
  switch (code % 16) {
    case 0: return 0.0;
    case 1: return -10.0;
    case 2: return 1e-300;
    case 3: return 1e300;
    case 4: return inf;
    case 5: return -inf;
    case 6: return std::numeric_limits<double>::quiet_NaN();
    case 7: return std::numeric_limits<double>::denorm_min();
    case 8: return in.raw<double>();
    case 9: return static_cast<double>(in.raw<float>());
    case 10: return 0.5 + in.byte() / 8.0;
    default: return 10.0;
  }
}

std::int64_t pick_tuning(ByteReader& in) {
  constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t highest = std::numeric_limits<std::int64_t>::max();
  const std::uint8_t code = in.byte();
  switch (code % 16) {
    case 0: return 0;
    case 1: return -1;
    case 2: return lowest;
    case 3: return highest;
    case 4: return std::int64_t{1} << 62;
    case 5: return (std::int64_t{1} << 61) - 1;
    case 6: return -(std::int64_t{1} << 62);
    case 7: return in.raw<std::int64_t>();
    case 8: return static_cast<std::int64_t>(in.byte()) * 1000;
    case 9: return -static_cast<std::int64_t>(in.byte());
    default: return static_cast<std::int64_t>(in.byte() % 24);
  }
}

// One velocity from two bytes: most spread over (and a little beyond) the
// Nyquist interval, some exactly on its limits, some special.
float pick_velocity(ByteReader& in, double nyquist, float previous) {
  const std::uint8_t kind = in.byte();
  const std::uint8_t value = in.byte();
  const auto nyq = static_cast<float>(nyquist);
  switch (kind % 16) {
    case 0: return std::numeric_limits<float>::quiet_NaN();
    case 1: return std::numeric_limits<float>::infinity();
    case 2: return -std::numeric_limits<float>::infinity();
    case 3: return nyq;
    case 4: return -nyq;
    case 5: return std::nextafter(nyq, std::numeric_limits<float>::infinity());
    case 6: return std::nextafter(-nyq, -std::numeric_limits<float>::infinity());
    case 7: return static_cast<float>(value) - 128.0f;
    case 8:
    case 9:
    case 10: return previous + static_cast<float>(static_cast<int>(value) - 128) * nyq / 256.0f;
    default: return static_cast<float>((static_cast<double>(value) / 255.0 * 3.0 - 1.5) * nyquist);
  }
}

bool same_bits(const vornak::FoldCounts& a, const vornak::Buffer<std::int32_t>& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteReader in(data, size);
  const std::size_t nrays = in.byte() % 65;
  const std::size_t ngates = in.byte() % 65;
  const std::uint8_t flags = in.byte();
  const bool wrap = (flags & 1) != 0;
  vornak::SweepParams params;
  params.centered = (flags & 2) != 0;
  const double nyquist = pick_nyquist(in);
  params.interval_splits = (flags & 4) != 0 ? pick_tuning(in) : 1 + in.byte() % 8;
  params.skip_between_rays = pick_tuning(in);
  params.skip_along_ray = pick_tuning(in);

  const std::size_t n = nrays * ngates;
  std::vector<float> vel(n);
  std::vector<std::uint8_t> mask(n);
  const std::uint8_t mask_rate = in.byte() % 4;  // 0: none; else about 1 in 2^(4 - rate)
  float previous = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    vel[i] = pick_velocity(in, nyquist, previous);
    previous = vel[i];
    const std::uint8_t exclude = in.byte();
    mask[i] = mask_rate != 0 && (exclude >> (4 + mask_rate)) == 0 ? 1 : 0;
  }

  std::optional<vornak::FoldCounts> fast;
  std::string fast_failure;
  try {
    fast = vornak::sweep_folds(vel, nrays, ngates, mask, nyquist, wrap, params);
  } catch (const vornak::Failure& failure) {
    fast_failure = failure.text();
  }
  if (fast && fast->size() != n) finding("result length differs from nrays * ngates");
  if (!fast && fast_failure != vornak::capacity_overflow_text) {
    // With both buffers the right length, only the capacity failure is possible.
    finding("failure other than the capacity failure");
  }

  // The reference only where its materialised limits stay small.
  std::uint64_t limit_count = 0;
  try {
    limit_count = vornak::interval_limits(nyquist, params.interval_splits, vel, mask).size();
  } catch (const vornak::Failure&) {
    limit_count = 0;  // the straightforward limits fail the same way, cheaply
  }
  if (limit_count > reference_work / std::max<std::uint64_t>(n, 1)) return 0;

  std::optional<vornak::Buffer<std::int32_t>> reference;
  std::string reference_failure;
  try {
    reference = vornak::straightforward::sweep_folds(vel, nrays, ngates, mask, nyquist, wrap, params);
  } catch (const vornak::Failure& failure) {
    reference_failure = failure.text();
  }
  if (fast.has_value() != reference.has_value()) finding("one core failed, the other did not");
  if (!fast) {
    if (fast_failure != reference_failure) finding("the cores failed with different texts");
    return 0;
  }
  if (!same_bits(*fast, *reference)) finding("fold counts differ from the straightforward core");
  return 0;
}
