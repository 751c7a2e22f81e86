// The functions of the anchoring module _vornak_anchor: argument checks and
// conversion around the kernels of core/src/anchor_*.cpp.
#pragma once

#include "python_ref.hpp"

namespace vornak::anchor_module {

// The module's method table, ended by a null entry.
extern PyMethodDef methods[];

}  // namespace vornak::anchor_module
