// The module frame shared by veltra's extension modules.
//
// A binding source declares its functions (name, parameters, docstring, body) and its module
// (names, docstring, function table), then expands VELTRA_MODULE.  Everything else lives here
// once, in four rooms:
//   module.hpp/.cpp     the multi-phase module definition with its create and exec steps, the
//                       guards against a second interpreter and against re-initialisation, and
//                       the NumPy import;
//   function.hpp/.cpp   the function type that answers introspection like a Python function,
//                       argument parsing with its messages, and traceback entries;
//   elements.hpp/.cpp   the element-wise pattern that turns a scalar kernel into a NumPy-aware
//                       function;
//   integers.hpp/.cpp   the conversion of an integer argument.
// records.hpp holds what the rooms share with each other and not with the bindings.
//
// Every module is its own shared library and links its own copy of the frame, so the frame's
// process-wide records (interpreter, module, interned names) are per module.
#pragma once

#include "elements.hpp"
#include "function.hpp"
#include "integers.hpp"
#include "module.hpp"
