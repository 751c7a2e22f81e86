// Two gates at a time as doubles (GCC and Clang vector types: SSE2 or
// whatever the target has), and eight at a time for the passes that take
// AVX-512 where the processor has it (`gates::wide_gates`). Comparisons give
// all-ones lanes, so a count subtracts them. Internal to the core.
#pragma once

#include <cstdint>
#include <cstring>

namespace vornak::gates {

using Doubles = double __attribute__((vector_size(16)));
using Floats = float __attribute__((vector_size(8)));
using Flags = std::int64_t __attribute__((vector_size(16)));

// Two consecutive floats, widened to double.
inline Doubles widened(const float* at) noexcept {
  Floats v;
  std::memcpy(&v, at, sizeof v);
  return __builtin_convertvector(v, Doubles);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VORNAK_WIDE_GATES 1
using Doubles8 = double __attribute__((vector_size(64)));
using Floats8 = float __attribute__((vector_size(32)));
using Flags8 = std::int64_t __attribute__((vector_size(64)));
using Bytes8 = std::uint8_t __attribute__((vector_size(8)));
using Ints8 = std::int32_t __attribute__((vector_size(32)));
using Bits8 = std::uint32_t __attribute__((vector_size(32)));
#endif

}  // namespace vornak::gates
