// Arrays of the anchoring module, through the buffer protocol: views of the
// NumPy arrays handed in, and new NumPy arrays (made by numpy.empty) to fill.
#pragma once

#include "python_ref.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace vornak::anchor_module {

using module::LockReleased;
using module::Ref;

enum class Kind { boolean, int32, int64, float32, float64 };

// Gate vectors (ray, gate) known to lie inside `rays` x `gates` in
// ray-major order, that nothing can change: weak references to arrays this
// module made read-only over immutable bytes.
struct CheckedGates {
  PyObject* ray = nullptr;
  PyObject* gate = nullptr;
  std::size_t rays = 0;
  std::size_t gates = 0;
};

// What the module keeps: numpy.empty, numpy.frombuffer, the dtypes of each
// Kind, and the gate vectors last made (a volume's sweeps' blocks), which
// the kernels then need not check again at every call.
struct State {
  PyObject* empty = nullptr;
  PyObject* frombuffer = nullptr;
  PyObject* dtype[5] = {};
  CheckedGates checked[32];
  std::size_t next_checked = 0;
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

// A new read-only int64 array of `size` over an immutable bytes object (so
// that no one can make it writable again), and `fill`, where to write its
// values before it is handed out; null with an exception set on failure.
[[nodiscard]] Ref fixed_int64(const State& state, std::size_t size, std::span<std::int64_t>& fill);

// A tuple of the new references given (all non-null), or null.
[[nodiscard]] Ref tuple_of(std::initializer_list<PyObject*> items);

}  // namespace vornak::anchor_module
