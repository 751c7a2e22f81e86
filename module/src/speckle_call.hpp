// The speckle repair's function in _vornak_anchor: argument checks and
// conversion around core/src/speckle.cpp.
#pragma once

#include "python_ref.hpp"

namespace vornak::anchor_module {

// Added to the module's functions when it is initialised; ended by a null entry.
extern PyMethodDef speckle_methods[];

}  // namespace vornak::anchor_module
