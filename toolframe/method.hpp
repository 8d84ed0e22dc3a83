// The function type for methods of classes created by module bodies.
#pragma once

#include "binding.hpp"

namespace tf {

// A function implemented in C that behaves like a Python `def` inside a class
// body: it binds to instances (the instance becomes its first argument) and
// carries __name__, __qualname__ (e.g. "LogCapture.get_logs"), __module__,
// __doc__ and __annotations__. The function is attached to the module here.
Ref new_method(Function& f, Ref annotations);

}  // namespace tf
