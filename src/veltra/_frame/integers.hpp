// The integer argument of a function.
#pragma once

#include "handle.hpp"

namespace veltra::frame {

// Converts the integer argument of a function: an int (bool and subclasses included) by value,
// any other object through its type's __int__; TypeError "an integer is required" when the
// type has none, OverflowError outside the 32-bit range.
int to_int32(PyObject* obj, int* value);

}  // namespace veltra::frame
