#include "state.hpp"

#include "ref.hpp"

namespace tf {

State the_state;

// ---------------------------------------------------------------------------
// Constant strings

namespace {

std::vector<Name*>& names() {
    static std::vector<Name*> all;
    return all;
}

}  // namespace

Name::Name(const char* text) : text_(text) { names().push_back(this); }

bool Name::create() {
    if (obj_) return true;
    obj_ = PyUnicode_InternFromString(text_);
    if (!obj_) return false;
    hash_ = PyObject_Hash(obj_);
    return hash_ != -1;
}

bool create_names() {
    for (Name* n : names())
        if (!n->create()) return false;
    return true;
}

}  // namespace tf
