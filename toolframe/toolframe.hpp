// The shared frame of the quelmar tool modules (umbrella header).
//
// Each tool module is the compiled form of a Python source file,
// quelmar/tools/<module>.py, that is not shipped: the module behaves as that
// file would, and every traceback entry it adds names that file as its source
// path, a qualified name ("quelmar.tools.fitrun.execute_fitrun",
// "init quelmar.tools.fitrun") and a line of that file: the line of the `def`
// for binding errors, the line that declares a parameter for its conversion
// error, and the line of the failing statement otherwise. These lines are part
// of the modules' documented behaviour. Each module writes them once, as named
// constants beside the function (or module body) they belong to; a
// Function's `line` is the line of its `def`, and a Param's `line` the line
// of the parameter. Nothing else in a module is a bare line number.
//
// Every module links its own copy of this static library, so all state of the
// frame is per module and process.
//
//   ref.hpp        the owning reference Ref and the constant strings Name
//   stack.hpp      recursion in C, bounded by the stack the thread has left
//   state.hpp      the module's description (ModuleSpec) and its run-time State
//   traceback.hpp  traceback entries, one Site (with its code objects) per place
//   binding.hpp    Function: one declaration per Python function, and binding
//   calls.hpp      global lookups, calls, unpacking, raising
//   imports.hpp    imports and the module body's statements (Body)
//   module.hpp     module initialisation (the create and exec steps)
//   method.hpp     the function type for methods of classes built by a body
#pragma once

#include "binding.hpp"
#include "calls.hpp"
#include "imports.hpp"
#include "method.hpp"
#include "module.hpp"
#include "ref.hpp"
#include "stack.hpp"
#include "state.hpp"
#include "traceback.hpp"
