// The module's internal-failure exception, and the one place where C++
// failures are turned into it before they could reach the interpreter.
#pragma once

#include "python_ref.hpp"

#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>

#include "vornak/failure.hpp"

namespace vornak::module {

// A failure of the module layer that is not the caller's fault (NumPy's API
// cannot be loaded, the result cannot be wrapped, ...). Thrown with the lock
// held; `guarded` raises it as the internal-failure exception.
class InternalFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Text for a failure that carries none of its own.
inline constexpr std::string_view unknown_failure_text =
    "unexpected failure inside vornak (no description available)";

// Raises the internal-failure exception (created on first use, kept for the
// process; derived directly from BaseException) with `text` as its only
// argument. Returns nullptr, for `return raise_internal(...)`.
PyObject* raise_internal(std::string_view text) noexcept;

// Runs `body`, which returns a new reference or nullptr with a Python error
// set. Must be entered with the interpreter lock held, and every path inside
// re-acquires the lock before it throws, so the handlers may call the C API.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const vornak::Failure& failure) {
    return raise_internal(failure.text());
  } catch (const std::exception& failure) {
    return raise_internal(failure.what());
  } catch (...) {
    return raise_internal(unknown_failure_text);
  }
}

}  // namespace vornak::module
