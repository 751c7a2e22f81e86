// Failure reports of the core: one line on standard error, then the exception.
#include "vornak/failure.hpp"

#include <cstdio>

namespace vornak {

namespace {

// One short line, written before unwinding so that the place of the failure is
// known even when the caller only sees the text.
void report(const std::string& text, const std::source_location& where) noexcept {
  std::fprintf(stderr, "vornak core failure: %s (at %s:%u:%u)\n", text.c_str(), where.file_name(),
               static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()));
  std::fflush(stderr);
}

}  // namespace

void fail_capacity(std::source_location where) {
  report(capacity_overflow_text, where);
  throw Failure(Failure::Kind::capacity, capacity_overflow_text, where);
}

void fail_index(std::string text, std::source_location where) {
  report(text, where);
  throw Failure(Failure::Kind::index, std::move(text), where);
}

}  // namespace vornak
