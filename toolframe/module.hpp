// Module initialisation: the create and exec steps of a tool module.
#pragma once

#include "state.hpp"

namespace tf {

// Returns the module definition for PyInit_<name>.
PyObject* init(ModuleSpec& spec);

}  // namespace tf
