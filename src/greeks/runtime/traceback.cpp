// The one use of the interpreter's private traceback helper: it builds the code object and
// frame of the entry and chains any failure to the pending exception itself.
#include "greeks/runtime/traceback.hpp"

namespace greeks::runtime {

void add_traceback(const char* function, const char* file, int line) {
    if (!PyErr_Occurred()) return;
    _PyTraceback_Add(function, file, line);
}

}  // namespace greeks::runtime
