// Imports and the statements of a module body.
#pragma once

#include <initializer_list>

#include "binding.hpp"
#include "state.hpp"

namespace tf {

// import / from-import helpers (also usable from tool bodies).
Ref import_module(const char* name);
Ref import_from(PyObject* module, PyObject* name);

// The module body: each statement returns true on success; on failure it
// records the source line that the "init" entry names.
class Body {
public:
    explicit Body(ModuleSpec& m) : m_(m) {}
    int failed_line = 0;

    bool import(int line, const char* name, const char* as = nullptr);
    bool from_import(int line, const char* module, std::initializer_list<const char*> names, int level = 0);
    // import <package> as <as>, turning an ImportError into `message` raised
    // from it (line of the import, line of the raise).
    bool guard(int line, int raise_line, const char* package, const char* as, const char* message);
    // def <f.name>(...): at the function's own line.
    bool def(Function& f);
    bool set(int line, const char* name, Ref value);
    bool fail(int line) { failed_line = line; return false; }

private:
    ModuleSpec& m_;
};

}  // namespace tf
