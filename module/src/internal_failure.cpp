// The internal-failure exception and the helpers that describe Python errors.
#include "internal_failure.hpp"

namespace vornak::module {

namespace {

// Created on first need with the interpreter lock held; kept for the process.
PyObject* internal_failure_type = nullptr;

constexpr const char* internal_failure_doc =
    "A failure inside vornak that no argument check could have caught (for example a "
    "size that overflows the machine's capacity). It derives from BaseException so that "
    "`except Exception` does not hide it; its only argument is the failure text.";

}  // namespace

std::string qualified_name(PyTypeObject* type) {
  Ref name(PyType_GetQualName(type));
  if (name) {
    Py_ssize_t size = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
      return std::string(text, static_cast<std::size_t>(size));
    }
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

bool refuse_conversion(PyObject* obj, const char* target) {
  std::string name = qualified_name(Py_TYPE(obj));
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", name.c_str(), target);
  return false;
}

std::string describe_pending_error() {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return "no Python error was set";
  Ref error(raised);
  std::string text = qualified_name(Py_TYPE(raised));
  Ref message(PyObject_Str(raised));
  if (message) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(message.get(), &size); utf8 && size > 0) {
      text += ": ";
      text.append(utf8, static_cast<std::size_t>(size));
    }
  }
  PyErr_Clear();
  return text;
}

PyObject* raise_internal(std::string_view text) noexcept {
  if (text.empty()) text = unknown_failure_text;
  if (internal_failure_type == nullptr) {
    internal_failure_type = PyErr_NewExceptionWithDoc("_vornak.InternalFailure", internal_failure_doc,
                                                      PyExc_BaseException, nullptr);
    if (internal_failure_type == nullptr) return nullptr;
  }
  // Texts come from C++ and are meant to be UTF-8; a stray byte must not
  // turn the report into a decoding error.
  Ref message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return nullptr;
  PyErr_SetObject(internal_failure_type, message.get());
  return nullptr;
}

}  // namespace vornak::module
