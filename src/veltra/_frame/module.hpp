// The module record: what a binding source declares for its module, and VELTRA_MODULE, which
// turns that into the multi-phase definition whose create and exec steps live in module.cpp.
#pragma once

#include "function.hpp"

#include <cstddef>
#include <iterator>  // std::size of a function table

namespace veltra::frame {

// Publishes a module's C-level export table into the module; 0 or -1 with an exception set.
using Publish = int (*)(PyObject* module);

struct ModuleSpec {
    const char* name;      // definition name, e.g. "mills"
    const char* qualname;  // dotted name, e.g. "veltra.mills"
    const char* doc;
    const char* source;    // binding source, the file name of code objects and tracebacks
    const FunctionDef* functions;
    std::size_t nfunctions;
    Publish publish;       // nullptr for a module without an export table
    Publish extend = nullptr;  // objects bound after the functions, once NumPy's C API is loaded
};

// The record CPython sees (its first member) and the frame's description of the module.
struct Module {
    PyModuleDef def;
    const ModuleSpec* spec;
};

extern PyModuleDef_Slot module_slots[];

// Turns the Exception being raised (by a C-API loader) into ImportError(message), with the
// original as its context, and returns -1; other BaseExceptions pass unchanged.
int raise_import_error(const char* message);

}  // namespace veltra::frame

// Defines the module record and its entry point PyInit_<short_name>, the only symbol the
// shared library exports.
#define VELTRA_MODULE(short_name, spec)                                                        \
    static ::veltra::frame::Module short_name##_module = {                                     \
        {PyModuleDef_HEAD_INIT, (spec).name, (spec).doc, 0, nullptr,                           \
         ::veltra::frame::module_slots, nullptr, nullptr, nullptr},                            \
        &(spec)};                                                                              \
    PyMODINIT_FUNC PyInit_##short_name(void) { return PyModuleDef_Init(&short_name##_module.def); }
