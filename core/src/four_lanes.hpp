// Four gates at a time, for the passes over labels, velocities and the mask
// (GCC and Clang vector extensions: SSE2 on x86-64, the target's own vectors
// or plain code elsewhere). Internal to the core.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vornak::lanes {

using FloatLanes = float __attribute__((vector_size(16)));
using IntLanes = std::int32_t __attribute__((vector_size(16)));

inline constexpr std::size_t lane_count = sizeof(IntLanes) / sizeof(std::int32_t);
static_assert(lane_count == 4);

// Loads four consecutive values; no alignment needed.
inline FloatLanes load_floats(const float* p) noexcept {
  FloatLanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline IntLanes load_ints(const std::int32_t* p) noexcept {
  IntLanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// -1 in the lanes of the four gates that the mask keeps (byte 0), 0 in the
// others.
inline IntLanes kept_lanes(const std::uint8_t* mask) noexcept {
  using MaskBytes = std::uint8_t __attribute__((vector_size(4)));
  MaskBytes m;
  std::memcpy(&m, mask, sizeof m);
  return __builtin_convertvector(m, IntLanes) == 0;
}

// {last[3], next[0], next[1], next[2]}: each lane's predecessor, across
// two consecutive sets of lanes. On x86-64 by two byte shifts and an OR,
// where inserting the lanes one by one took six shuffles.
inline IntLanes shifted_in(IntLanes last, IntLanes next) noexcept {
#if defined(__SSE2__) && defined(__GNUC__) && !defined(__clang__)
  using Longs = long long __attribute__((vector_size(16)));
  const auto up = (IntLanes)__builtin_ia32_pslldqi128((Longs)next, 32);
  const auto down = (IntLanes)__builtin_ia32_psrldqi128((Longs)last, 96);
  return up | down;
#else
  return IntLanes{last[3], next[0], next[1], next[2]};
#endif
}

// Bit k set where lane k of `m` is set (-1), for lanes of -1 and 0.
inline unsigned mask_bits(IntLanes m) noexcept {
#if defined(__SSE2__) && defined(__GNUC__) && !defined(__clang__)
  return static_cast<unsigned>(__builtin_ia32_movmskps((FloatLanes)m));
#else
  const IntLanes weighed = m & IntLanes{1, 2, 4, 8};
  return static_cast<unsigned>(weighed[0] | weighed[1] | weighed[2] | weighed[3]);
#endif
}

// kept_lanes for sixteen gates: out[q] for gates 4q to 4q + 3. On x86-64 one
// comparison of the sixteen bytes, then their signs widened, where four
// separate conversions took twice the operations.
inline void kept_lanes16(const std::uint8_t* mask, IntLanes out[4]) noexcept {
#if defined(__SSE2__) && defined(__GNUC__) && !defined(__clang__)
  using Chars = char __attribute__((vector_size(16)));
  using Shorts = short __attribute__((vector_size(16)));
  Chars m;
  std::memcpy(&m, mask, sizeof m);
  const Chars kept = m == Chars{};  // -1 or 0 in each byte
  const auto low = (Shorts)__builtin_ia32_punpcklbw128(kept, kept);
  const auto high = (Shorts)__builtin_ia32_punpckhbw128(kept, kept);
  out[0] = (IntLanes)__builtin_ia32_punpcklwd128(low, low);
  out[1] = (IntLanes)__builtin_ia32_punpckhwd128(low, low);
  out[2] = (IntLanes)__builtin_ia32_punpcklwd128(high, high);
  out[3] = (IntLanes)__builtin_ia32_punpckhwd128(high, high);
#else
  for (std::size_t q = 0; q < 4; ++q) out[q] = kept_lanes(mask + 4 * q);
#endif
}

// Bit 4q + k set where lane k of masks[q] is set (-1), for masks of -1 and 0:
// sixteen gates' tests as one integer. On x86-64 by packing the lanes to
// bytes and taking their sign bits (four operations), where weighing the
// lanes and OR-ing them across took a dozen.
inline unsigned mask_bits(IntLanes m0, IntLanes m1, IntLanes m2, IntLanes m3) noexcept {
#if defined(__SSE2__) && defined(__GNUC__) && !defined(__clang__)
  using Shorts = short __attribute__((vector_size(16)));
  using Chars = char __attribute__((vector_size(16)));
  const Shorts low = __builtin_ia32_packssdw128(m0, m1);
  const Shorts high = __builtin_ia32_packssdw128(m2, m3);
  const Chars bytes = __builtin_ia32_packsswb128(low, high);
  return static_cast<unsigned>(__builtin_ia32_pmovmskb128(bytes));
#else
  const IntLanes weighed = (m0 & IntLanes{1, 2, 4, 8}) | (m1 & IntLanes{16, 32, 64, 128}) |
                           (m2 & IntLanes{256, 512, 1024, 2048}) |
                           (m3 & IntLanes{4096, 8192, 16384, 32768});
  return static_cast<unsigned>(weighed[0] | weighed[1] | weighed[2] | weighed[3]);
#endif
}

// For every byte, the positions (0 to 7) of its set bits, lowest first, as
// two sets of lanes ready to add to and store (8 KiB; each byte's 32 bytes
// within one cache line), and their number.
struct BitPositions {
  struct alignas(32) Positions {
    std::array<std::int32_t, 2 * lane_count> lanes;
  };
  std::array<Positions, 256> positions{};
  std::array<std::uint8_t, 256> count{};
};

inline constexpr BitPositions bit_positions = [] {
  BitPositions table;
  for (unsigned byte = 0; byte < 256; ++byte) {
    unsigned n = 0;
    for (unsigned k = 0; k < 8; ++k) {
      if (((byte >> k) & 1u) != 0) {
        table.positions[byte].lanes[n] = static_cast<std::int32_t>(k);
        ++n;
      }
    }
    table.count[byte] = static_cast<std::uint8_t>(n);
  }
  return table;
}();

// Writes base + k for every set bit k of `byte`, lowest first, to out and
// returns their number. Eight values are stored whatever the number, so out
// needs room for eight: no branch on the bits, which come unpredictably.
inline std::size_t set_bit_positions(unsigned byte, std::uint32_t base,
                                     std::uint32_t* out) noexcept {
  const auto start = static_cast<std::int32_t>(base);
  const IntLanes at = {start, start, start, start};
  const std::int32_t* const positions = bit_positions.positions[byte].lanes.data();
  const IntLanes first = load_ints(positions) + at;
  const IntLanes second = load_ints(positions + lane_count) + at;
  std::memcpy(out, &first, sizeof first);
  std::memcpy(out + lane_count, &second, sizeof second);
  return bit_positions.count[byte];
}

}  // namespace vornak::lanes
