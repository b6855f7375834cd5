// The function table of a module: what a binding source declares for each function.  The
// function type built from it lives in function.cpp.
#pragma once

#include "handle.hpp"

namespace veltra::frame {

inline constexpr int max_params = 4;

// A function body: receives its parameters by position, defaults filled in (borrowed), and
// returns a new reference or nullptr with an exception set.  The caller adds the traceback.
using Body = PyObject* (*)(PyObject* const* args);

struct Param {
    const char* name = nullptr;
    bool has_default = false;
    long default_value = 0;
};

constexpr Param required(const char* name) { return {name, false, 0}; }
constexpr Param with_default(const char* name, long value) { return {name, true, value}; }

struct FunctionDef {
    const char* name;
    const char* doc;
    Param params[max_params];
    const char* locals;  // further local variable names reported by __code__, space separated
    Body body;
    int line;            // line of the declaration: first line of __code__ and of tracebacks
};

}  // namespace veltra::frame
