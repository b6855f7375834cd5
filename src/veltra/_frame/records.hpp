// What the frame's rooms share with each other and not with the binding sources: the
// process-wide records of the module and the steps one room runs for another.
#pragma once

#include "frame.hpp"

#include <cstddef>

namespace veltra::frame {

// Set by the exec step, under the interpreter lock; never finalised.
extern PyObject* module_dict;      // the module's namespace, the globals of every function
extern PyObject* builtins_module;  // where a name missing from the namespace is looked up

inline constexpr std::size_t max_functions = 8;

// function.cpp, for the exec step: the function type, the code objects of every function of
// the module (built once), one function object, and a traceback entry for a failure outside
// any function.
int build_function_type();
int build_code_objects(const ModuleSpec& spec);
Ref make_function(const ModuleSpec& spec, std::size_t index);
void add_traceback(const char* source, const char* name, int line);

// elements.cpp, for the exec step: the interned identifiers and constants.
int build_interned();

}  // namespace veltra::frame
