// Turns fuzzer bytes into values. Past the end of the input every read gives
// zero, so any input, however short, decodes to something.
#pragma once

#include <cstddef>
#include <cstdint>
#include <bit>
#include <type_traits>

namespace vornak::fuzz {

class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}

  std::uint8_t byte() noexcept { return pos_ < size_ ? data_[pos_++] : 0; }

  // The next sizeof(T) bytes, least significant first, as a T of 4 or 8 bytes.
  template <class T>
  T raw() noexcept {
    using Bits = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>;
    static_assert(sizeof(T) == sizeof(Bits));
    Bits bits = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      bits = static_cast<Bits>(bits | (static_cast<Bits>(byte()) << (8 * i)));
    }
    return std::bit_cast<T>(bits);
  }

  [[nodiscard]] bool empty() const noexcept { return pos_ >= size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

}  // namespace vornak::fuzz
