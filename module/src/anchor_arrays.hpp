// Arrays of the anchoring module, through the buffer protocol: views of the
// NumPy arrays handed in, and new NumPy arrays (made by numpy.empty) to fill.
#pragma once

#include "python_ref.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace vornak::anchor_module {

using module::Ref;

enum class Kind { boolean, int32, int64, float32, float64 };

// What the module keeps: numpy.empty and the dtypes of each Kind.
struct State {
  PyObject* empty = nullptr;
  PyObject* dtype[5] = {};
};

// A C-contiguous buffer of one of the accepted kinds, released on scope exit.
class View {
 public:
  View() = default;
  View(const View&) = delete;
  View& operator=(const View&) = delete;
  ~View() {
    if (held_) PyBuffer_Release(&buffer_);
  }

  // Takes the buffer of `obj` when it is C-contiguous, `ndim`-dimensional
  // and of one of `kinds`; else false with TypeError naming `name`.
  [[nodiscard]] bool take(PyObject* obj, const char* name, std::initializer_list<Kind> kinds, int ndim,
                          bool writable = false);

  [[nodiscard]] Kind kind() const noexcept { return kind_; }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] std::size_t extent(int axis) const noexcept {
    return static_cast<std::size_t>(buffer_.shape[axis]);
  }
  template <class T>
  [[nodiscard]] std::span<T> span() const noexcept {
    return std::span<T>(static_cast<T*>(buffer_.buf), size_);
  }

 private:
  Py_buffer buffer_{};
  bool held_ = false;
  Kind kind_ = Kind::boolean;
  std::size_t size_ = 0;
};

// A new NumPy array of `dims` and `kind`, and a writable view of it; null
// with an exception set on failure.
[[nodiscard]] Ref new_array(const State& state, std::initializer_list<Py_ssize_t> dims, Kind kind, View& view);

// A tuple of the new references given (all non-null), or null.
[[nodiscard]] Ref tuple_of(std::initializer_list<PyObject*> items);

}  // namespace vornak::anchor_module
