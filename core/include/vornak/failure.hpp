// The core's failure model: a precondition failure carries its text, is
// reported once on standard error where it arose, and unwinds to the caller.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace vornak {

inline constexpr const char* capacity_overflow_text = "capacity overflow";

// A failed precondition of the core: a size computation that overflows
// ("capacity overflow") or an index outside a buffer / a length mismatch.
// Every working buffer is owned by RAII types, so unwinding releases them.
class Failure : public std::exception {
 public:
  enum class Kind { capacity, index };

  Failure(Kind kind, std::string text, std::source_location where)
      : kind_(kind), text_(std::move(text)), where_(where) {}

  [[nodiscard]] const char* what() const noexcept override { return text_.c_str(); }
  [[nodiscard]] Kind kind() const noexcept { return kind_; }
  [[nodiscard]] const std::string& text() const noexcept { return text_; }
  [[nodiscard]] const std::source_location& where() const noexcept { return where_; }

 private:
  Kind kind_;
  std::string text_;
  std::source_location where_;
};

// Writes the one-line report to standard error, then throws.
[[noreturn]] void fail_capacity(std::source_location where = std::source_location::current());
[[noreturn]] void fail_index(std::string text,
                             std::source_location where = std::source_location::current());

// Index failure unless `length` >= `needed`. Called where a stage receives
// its buffers, never per element.
inline void require_length(std::size_t length, std::size_t needed, const char* what,
                           std::source_location where = std::source_location::current()) {
  if (length < needed) {
    fail_index(std::string("index out of range: ") + what + " holds " + std::to_string(length) +
                   " values but " + std::to_string(needed) + " are needed",
               where);
  }
}

// Index failure unless `length` == `expected`.
inline void require_exact_length(std::size_t length, std::size_t expected, const char* what,
                                 std::source_location where = std::source_location::current()) {
  if (length != expected) {
    fail_index(std::string("length mismatch: ") + what + " holds " + std::to_string(length) +
                   " values but " + std::to_string(expected) + " are expected",
               where);
  }
}

}  // namespace vornak
