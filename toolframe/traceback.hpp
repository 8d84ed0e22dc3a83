// Traceback entries: the places (functions, the module body) that an
// exception passing through this module names, each with its own code objects.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "ref.hpp"

namespace tf {

// One place that traceback entries name, e.g. "quelmar.tools.fitrun.execute_fitrun"
// or "init quelmar.tools.fitrun". It keeps the code object of every line that
// an entry has named, so the cache is keyed by the place itself and a lookup
// compares line numbers only.
class Site {
public:
    Site() = default;
    Site(const Site&) = delete;
    Site& operator=(const Site&) = delete;

    // Names the place (a new name drops the code objects of the old one).
    void rename(std::string qualname);
    const std::string& qualname() const { return qualname_; }
    // Adds the entry (this place, line) to the pending exception's traceback.
    void add(int line);

private:
    Ref code(int line);  // from the cache when there; null on failure

    std::string qualname_;
    std::vector<std::pair<int, PyObject*>> codes_;  // (line, code), kept for the life of the process
};

}  // namespace tf
