// Buffer views and new arrays for the anchoring module.
#include "anchor_arrays.hpp"

#include <string>

namespace vornak::anchor_module {

namespace {

// The kind of a native buffer format, or false.
bool kind_of(const Py_buffer& buffer, Kind& kind) {
  const char* format = buffer.format == nullptr ? "B" : buffer.format;
  if (*format == '@' || *format == '=' || *format == '<') ++format;
  if (format[0] == '\0' || format[1] != '\0') return false;
  const Py_ssize_t size = buffer.itemsize;
  switch (format[0]) {
    case '?': kind = Kind::boolean; return size == 1;
    case 'f': kind = Kind::float32; return size == 4;
    case 'd': kind = Kind::float64; return size == 8;
    case 'i': case 'l': case 'q':
      if (size == 4) kind = Kind::int32;
      if (size == 8) kind = Kind::int64;
      return size == 4 || size == 8;
    default: return false;
  }
}

const char* kind_name(Kind kind) {
  switch (kind) {
    case Kind::boolean: return "bool";
    case Kind::int32: return "int32";
    case Kind::int64: return "int64";
    case Kind::float32: return "float32";
    case Kind::float64: return "float64";
  }
  return "?";
}

}  // namespace

bool View::take(PyObject* obj, const char* name, std::initializer_list<Kind> kinds, int ndim, bool writable) {
  const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
  std::string wanted;
  for (Kind k : kinds) wanted += std::string(wanted.empty() ? "" : " or ") + kind_name(k);
  if (PyObject_GetBuffer(obj, &buffer_, flags) < 0) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "vornak: anchoring needs '%s' as a C-contiguous%s %d-d array of %s",
                 name, writable ? " writable" : "", ndim, wanted.c_str());
    return false;
  }
  held_ = true;
  bool accepted = buffer_.ndim == ndim && kind_of(buffer_, kind_);
  if (accepted) {
    accepted = false;
    for (Kind k : kinds) accepted = accepted || k == kind_;
  }
  if (!accepted) {
    PyErr_Format(PyExc_TypeError, "vornak: anchoring needs '%s' as a C-contiguous %d-d array of %s", name,
                 ndim, wanted.c_str());
    return false;
  }
  size_ = static_cast<std::size_t>(buffer_.len / buffer_.itemsize);
  return true;
}

Ref new_array(const State& state, std::initializer_list<Py_ssize_t> dims, Kind kind, View& view) {
  Ref shape(PyTuple_New(static_cast<Py_ssize_t>(dims.size())));
  if (!shape) return nullptr;
  Py_ssize_t axis = 0;
  for (Py_ssize_t d : dims) {
    PyObject* extent = PyLong_FromSsize_t(d);
    if (extent == nullptr) return nullptr;
    PyTuple_SET_ITEM(shape.get(), axis++, extent);  // steals the reference
  }
  Ref array(PyObject_CallFunctionObjArgs(state.empty, shape.get(), state.dtype[static_cast<int>(kind)], nullptr));
  if (!array) return nullptr;
  if (!view.take(array.get(), "result", {kind}, static_cast<int>(dims.size()), true)) return nullptr;
  return array;
}

Ref fixed_int64(const State& state, std::size_t size, std::span<std::int64_t>& fill) {
  Ref bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size * sizeof(std::int64_t))));
  if (!bytes) return nullptr;
  // Written now, before anyone else holds the bytes (their data lies 8-byte
  // aligned, after the object's header).
  fill = std::span<std::int64_t>(reinterpret_cast<std::int64_t*>(PyBytes_AS_STRING(bytes.get())), size);
  return Ref(PyObject_CallFunctionObjArgs(state.frombuffer, bytes.get(),
                                          state.dtype[static_cast<int>(Kind::int64)], nullptr));
}

Ref tuple_of(std::initializer_list<PyObject*> items) {
  Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  if (!tuple) return nullptr;
  Py_ssize_t i = 0;
  for (PyObject* item : items) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(item));
  return tuple;
}

}  // namespace vornak::anchor_module
