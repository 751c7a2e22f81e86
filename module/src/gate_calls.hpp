// The per-gate passes of the xarray layer in _vornak_anchor: argument checks
// and conversion around core/src/gate_values.cpp.
#pragma once

#include "python_ref.hpp"

namespace vornak::anchor_module {

// Added to the module's functions when it is initialised; ended by a null entry.
extern PyMethodDef gate_methods[];

}  // namespace vornak::anchor_module
