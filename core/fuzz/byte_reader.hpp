// Turns fuzzer bytes into values. Past the end of the input every read gives
// zero, so any input, however short, decodes to something.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vornak::fuzz {

class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}

  std::uint8_t byte() noexcept { return pos_ < size_ ? data_[pos_++] : 0; }

  template <class T>
  T raw() noexcept {
    unsigned char bytes[sizeof(T)] = {};
    for (auto& b : bytes) b = byte();
    T value;
    std::memcpy(&value, bytes, sizeof(T));
    return value;
  }

  [[nodiscard]] bool empty() const noexcept { return pos_ >= size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

}  // namespace vornak::fuzz
