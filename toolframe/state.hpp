// Module state: what one tool module knows about itself at run time.
#pragma once

#include <cstdint>
#include <vector>

#include "traceback.hpp"

namespace tf {

class Body;
class Function;

// The line that the "init" entry names for a failure outside the module
// body's statements (the frame's own steps, memory exhaustion).
constexpr int kModuleLine = 1;

// The module's description, one per module source file.
struct ModuleSpec {
    const char* dotted;        // "quelmar.tools.plusor"
    const char* short_name;    // "plusor"
    const char* doc;
    const char* source;        // "quelmar/tools/plusor.py"
    bool (*body)(Body&);       // the module body's statements
    std::vector<Function*> functions = {};  // filled by Body::def (for __test__)
    Site body_site = {};       // "<dotted>": entries of module-level statements
    Site init_site = {};       // "init <dotted>": the entry of a failed import
};

// Module-wide state, one per shared library (every module links its own copy
// of the frame). The pointers are raw on purpose: the state is a static
// object, destroyed after the interpreter has finalised, when releasing a
// reference would touch freed memory. The module and its namespace are set
// in the exec step and cleared when it fails; the rest is kept for the life
// of the process.
struct State {
    ModuleSpec* spec = nullptr;
    int64_t interp_id = -1;        // the interpreter that loaded the module (-1: none yet)
    PyObject* module = nullptr;
    PyObject* dict = nullptr;      // the module's namespace (its globals)
    PyObject* builtins = nullptr;
    PyObject* modname = nullptr;   // dotted name as str
    bool constants = false;        // the Names have been created
};
// The state of this module (a constant-initialised object: reading it is a
// plain load, with no guard for a function-local static).
extern State the_state;
inline State& state() { return the_state; }

}  // namespace tf
