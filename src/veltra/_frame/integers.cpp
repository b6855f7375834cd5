// The integer argument of a function (theta, n_terms): Python's rules for __int__, then the
// 32-bit range.
#include "integers.hpp"

namespace veltra::frame {

// The int that obj's type converts it to (a new reference), with the interpreter's rules for
// what __int__ may return.
static Ref integer_value(PyObject* obj) {
    if (PyLong_Check(obj)) return Ref::borrow(obj);
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return Ref();
    }
    Ref result(number->nb_int(obj));
    if (!result || PyLong_CheckExact(result.get())) return result;
    if (!PyLong_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result.get())->tp_name);
        return Ref();
    }
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an "
                         "instance of a strict subclass of int is deprecated, and may be removed "
                         "in a future version of Python.",
                         Py_TYPE(result.get())->tp_name) < 0)
        return Ref();
    return result;
}

int to_int32(PyObject* obj, int* value) {
    Ref integer = integer_value(obj);
    if (!integer) return -1;
    const int converted = PyLong_AsInt(integer.get());
    if (converted == -1 && PyErr_Occurred()) return -1;
    *value = converted;
    return 0;
}

}  // namespace veltra::frame
