// The module's layer over NumPy's C API: the API table loaded at run time,
// read-only views of input arrays, and the int32 result handed to NumPy
// without a copy. Every function here needs the interpreter lock.
#pragma once

#include "python_ref.hpp"

#include <cstddef>
#include <cstdint>

#include "vornak/sweep.hpp"

namespace vornak::module {

// NumPy's element type numbers, stable across NumPy 1.x and 2.x.
enum class ElementType : int { boolean = 0, int32 = 5, float32 = 11 };

// A read-only view of an accepted 2-D array. Holds a reference to the array
// from acceptance until it is destroyed, so the memory stays valid while the
// core reads it without the interpreter lock.
struct ArrayView {
  ArrayView() = default;
  ArrayView(const ArrayView&) = delete;
  ArrayView& operator=(const ArrayView&) = delete;
  ~ArrayView() { Py_XDECREF(array); }

  // NumPy's own rule: axes of length 1 may have any stride, and an empty
  // array is contiguous.
  [[nodiscard]] bool c_contiguous() const noexcept;

  PyObject* array = nullptr;
  const char* data = nullptr;
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;
  Py_ssize_t row_stride = 0;
  Py_ssize_t col_stride = 0;
  std::size_t item_size = 0;
};

// Fills `view` when `obj` is a 2-D ndarray (or subclass instance) whose dtype
// is equivalent to `type`. Returns false with TypeError "'QUALNAME' object
// cannot be converted to 'PyArray<T, D>'" when it is not. Throws
// InternalFailure when NumPy's API cannot be loaded; the loading is retried
// on the next call until it succeeds once.
[[nodiscard]] bool accept_array(PyObject* obj, ElementType type, ArrayView& view);

// A new plain int32 ndarray of shape (nrays, ngates) whose memory is `folds`
// itself; `folds.size()` must be nrays * ngates. The buffer is freed exactly
// once, when the array and every view of it are gone, or here on failure.
// Throws InternalFailure when the array cannot be made.
[[nodiscard]] PyObject* wrap_fold_counts(FoldCounts&& folds, std::size_t nrays, std::size_t ngates);

}  // namespace vornak::module
