// The guard of the data and pricing methods: an `except Exception as e` that prints one line,
// and the record of which statement of the guarded region failed.
#pragma once

#include "greeks/runtime/ref.hpp"

namespace greeks::runtime {

// Where a guarded region failed: the line of the failing statement, read by the handler for the
// traceback. A region that returns its failures records the line where the error happens
// (`return failed.at(line_x, failure_value)`); one whose failures are thrown names the statement
// it is running (`failed.running(line_x)`).
class FailedAt {
public:
    explicit FailedAt(int first_line) : line_(first_line) {}
    template <class Value>
    Value at(int line, Value failure) {
        line_ = line;
        return failure;
    }
    void running(int line) { line_ = line; }
    int line() const { return line_; }

private:
    int line_;
};

// Handles the exception pending at the end of a guarded region of `function` at `line`.
// The exception gets its traceback entry first. An Exception is printed through `print` as
// `prefix` followed by format(e, "") and cleared: returns 0, and the caller returns its failure
// value. Anything else (KeyboardInterrupt, SystemExit) stays pending, as does a failure of the
// printing itself: returns -1.
int print_handled_error(PyObject* print, PyObject* prefix, const char* function, int line);

// Calls `print` with the one argument `text`. -1 with an exception set on failure.
int print_line(PyObject* print, PyObject* text);

}  // namespace greeks::runtime
