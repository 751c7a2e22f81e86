// The call frame of `_vornak.sweep_folds_py`.
#pragma once

#include "python_ref.hpp"

namespace vornak::module {

// The method record's documentation: signature line, "--", then the text.
extern const char sweep_folds_doc[];

// METH_FASTCALL | METH_KEYWORDS entry; `self` (the module) is not used.
PyObject* sweep_folds_py(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) noexcept;

}  // namespace vornak::module
