#include "traceback.hpp"

#include <frameobject.h>

#include "state.hpp"

namespace tf {

void Site::rename(std::string qualname) {
    if (qualname == qualname_) return;
    for (auto& entry : codes_) Py_CLEAR(entry.second);
    codes_.clear();
    qualname_ = std::move(qualname);
}

Ref Site::code(int line) {
    if (line != 0)
        for (const auto& [at, code] : codes_)
            if (at == line) return Ref::borrow(code);
    // Making the code object must not disturb the exception in flight.
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* code =
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(state().spec->source, qualname_.c_str(), line));
    PyErr_SetRaisedException(exc);
    if (code && line != 0) codes_.emplace_back(line, Py_NewRef(code));  // line 0 is never cached
    return Ref::steal(code);
}

void Site::add(int line) {
    State& s = state();
    if (!s.dict) return;
    Ref c = code(line);
    if (!c) return;
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(c.get()), s.dict, nullptr)));
    if (!frame) return;
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace tf
