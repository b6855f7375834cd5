// The function type: one object per module function that answers introspection like a Python
// function (name, module, docstring, signature, defaults, pickling by reference), parses its
// arguments with Python's own messages, and adds a traceback entry named module.function when
// its body fails.
#include "records.hpp"

#include <frameobject.h>

namespace veltra::frame {

namespace {

PyTypeObject* function_type = nullptr;

// Code objects of the functions: __code__ (named like the function, carrying the parameter
// names) and the one their traceback entries show (named module.function).  Built once.
PyObject* signature_codes[max_functions];
PyObject* traceback_codes[max_functions];

// ---------------------------------------------------------------------------------------
// Traceback entries.  The frame is a real frame object over an empty code object, so the
// entry prints like any other: file, line, and the name of the code object.

void add_traceback(PyObject* code) {
    PyObject* exc = PyErr_GetRaisedException();
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code),
                                       module_dict, nullptr);
    PyErr_SetRaisedException(exc);
    if (frame == nullptr) return;
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace

void add_traceback(const char* source, const char* name, int line) {
    PyObject* exc = PyErr_GetRaisedException();
    PyCodeObject* code = PyCode_NewEmpty(source, name, line);
    PyErr_SetRaisedException(exc);
    if (code == nullptr) return;
    add_traceback(reinterpret_cast<PyObject*>(code));
    Py_DECREF(code);
}

namespace {

// ---------------------------------------------------------------------------------------
// Function objects.

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    int nparams;
    int nrequired;
    PyObject* name;      // __name__ and __qualname__
    PyObject* module;    // __module__
    PyObject* doc;       // __doc__
    PyObject* code;      // __code__
    PyObject* globals;   // __globals__
    PyObject* defaults;  // __defaults__: a tuple, or None when every parameter is required
    PyObject* traceback_code;
    PyObject* params[max_params];  // interned parameter names
};

Function* as_function(PyObject* self) { return reinterpret_cast<Function*>(self); }

// "f() takes exactly 1 positional argument (2 given)" and its "at least"/"at most" forms.
int raise_count_error(const Function* f, Py_ssize_t given, bool too_many) {
    const char* bound = "exactly";
    Py_ssize_t count = f->nparams;
    if (f->nrequired != f->nparams) {
        bound = too_many ? "at most" : "at least";
        count = too_many ? f->nparams : f->nrequired;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 f->def->name, bound, count, count == 1 ? "" : "s", given);
    return -1;
}

// Index of the parameter named `key` among params[from, nparams): by identity, then by value.
int find_param(const Function* f, PyObject* key, int from) {
    for (int j = from; j < f->nparams; ++j)
        if (f->params[j] == key) return j;
    for (int j = from; j < f->nparams; ++j) {
        const int eq = PyUnicode_Compare(f->params[j], key);
        if (eq == 0) return j;
        if (eq == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    return -1;
}

// Fills args[0, nparams) with borrowed references, defaults included.
int parse_arguments(const Function* f, PyObject* const* posargs, Py_ssize_t npos,
                    PyObject* kwnames, PyObject** args) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (npos > f->nparams) return raise_count_error(f, npos, true);
    if (nkw == 0 && npos < f->nrequired) return raise_count_error(f, npos, false);
    for (int j = 0; j < f->nparams; ++j) args[j] = j < npos ? posargs[j] : nullptr;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f->def->name);
            return -1;
        }
        const int j = find_param(f, key, static_cast<int>(npos));
        if (j >= 0 && args[j] == nullptr) {
            args[j] = posargs[npos + k];
            continue;
        }
        if (j >= 0 || find_param(f, key, 0) >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         f->def->name, key);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         f->def->name, key);
        }
        return -1;
    }
    for (int j = static_cast<int>(npos); j < f->nparams; ++j) {
        if (args[j] != nullptr) continue;
        if (j < f->nrequired) return raise_count_error(f, j, false);
        args[j] = PyTuple_GET_ITEM(f->defaults, j - f->nrequired);
    }
    return 0;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* posargs, size_t nargsf,
                              PyObject* kwnames) {
    const Function* f = as_function(self);
    const Py_ssize_t npos = PyVectorcall_NARGS(nargsf);
    PyObject* result = nullptr;
    if (kwnames == nullptr && npos == f->nparams) {
        result = f->def->body(posargs);
    } else {
        PyObject* args[max_params];
        if (parse_arguments(f, posargs, npos, kwnames, args) == 0) result = f->def->body(args);
    }
    if (result == nullptr) add_traceback(f->traceback_code);
    return result;
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->code);
    Py_VISIT(f->globals);
    Py_VISIT(f->defaults);
    Py_VISIT(f->traceback_code);
    for (PyObject* p : f->params) Py_VISIT(p);
    return 0;
}

int function_clear(PyObject* self) {
    Function* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->code);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->traceback_code);
    for (PyObject*& p : f->params) Py_CLEAR(p);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    const Function* f = as_function(self);
    return PyUnicode_FromFormat("<function %U.%U>", f->module, f->name);
}

// Pickling stores a reference by module and name; unpickling finds this same object.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->name); }

// Like a Python function, a function object stored on a class binds to the instance it is
// looked up from; being a descriptor also makes inspect (and so help()) treat it as a routine.
PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(Function, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(Function, name), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(Function, module), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(Function, doc), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(Function, code), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(Function, globals), Py_READONLY, nullptr},
    {"__defaults__", Py_T_OBJECT_EX, offsetof(Function, defaults), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "veltra.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

int count_params(const FunctionDef& def) {
    int n = 0;
    while (n < max_params && def.params[n].name != nullptr) ++n;
    return n;
}

// Python source of the function that __code__ describes: its parameters, then the locals it
// reports, assigned in that order (the order co_varnames lists them), then a TypeError.  One
// line, so that every instruction and any traceback through it sits on the declaration line:
//   def millsratio(x): x_arr = scalar = flat = out = None; raise TypeError('...')
Ref signature_source(const ModuleSpec& spec, const FunctionDef& def) {
    const int nparams = count_params(def);
    Ref params(PyUnicode_FromString(""));
    for (int j = 0; params && j < nparams; ++j)
        params = Ref(PyUnicode_FromFormat(j == 0 ? "%U%s" : "%U, %s", params.get(), def.params[j].name));
    Ref locals(PyUnicode_FromString(def.locals));
    Ref words(locals ? PyUnicode_Split(locals.get(), nullptr, -1) : nullptr);
    Ref equals(PyUnicode_FromString(" = "));
    Ref chain(words && equals ? PyUnicode_Join(equals.get(), words.get()) : nullptr);
    if (!params || !chain) return Ref();
    return Ref(PyUnicode_FromFormat(
        "def %s(%U): %U%sraise TypeError('this code object only describes the signature of the "
        "compiled function %s.%s; call that function itself')\n",
        def.name, params.get(), chain.get(), PyUnicode_GET_LENGTH(chain.get()) ? " = None; " : "",
        spec.qualname, def.name));
}

// __code__: the code of that Python function, so that inspect.signature reports the parameters
// and executing it (types.FunctionType, exec) raises instead of running bytecode that is not
// there.  Compiled under the binding source's file name; `replace` moves it to the declaration
// line.
PyObject* make_signature_code(const ModuleSpec& spec, const FunctionDef& def) {
    Ref source = signature_source(spec, def);
    const char* text = source ? PyUnicode_AsUTF8(source.get()) : nullptr;
    Ref module_code(text ? Py_CompileString(text, spec.source, Py_file_input) : nullptr);
    Ref constants(module_code ? PyObject_GetAttrString(module_code.get(), "co_consts") : nullptr);
    if (!constants) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(constants.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(constants.get(), i);
        if (!PyCode_Check(item)) continue;
        Ref replace(PyObject_GetAttrString(item, "replace"));
        Ref no_args(PyTuple_New(0));
        Ref changes(Py_BuildValue("{s:i}", "co_firstlineno", def.line));
        if (!replace || !no_args || !changes) return nullptr;
        return PyObject_Call(replace.get(), no_args.get(), changes.get());
    }
    PyErr_SetString(PyExc_SystemError, "the signature source of a function compiled to no function");
    return nullptr;
}

}  // namespace

int build_function_type() {
    if (function_type == nullptr)
        function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    return function_type ? 0 : -1;
}

int build_code_objects(const ModuleSpec& spec) {
    for (std::size_t i = 0; i < spec.nfunctions; ++i) {
        const FunctionDef& def = spec.functions[i];
        if (signature_codes[i] == nullptr) signature_codes[i] = make_signature_code(spec, def);
        if (signature_codes[i] == nullptr) return -1;
        if (traceback_codes[i] == nullptr) {
            Ref qualified(PyUnicode_FromFormat("%s.%s", spec.qualname, def.name));
            const char* text = qualified ? PyUnicode_AsUTF8(qualified.get()) : nullptr;
            if (text == nullptr) return -1;
            traceback_codes[i] =
                reinterpret_cast<PyObject*>(PyCode_NewEmpty(spec.source, text, def.line));
            if (traceback_codes[i] == nullptr) return -1;
        }
    }
    return 0;
}

Ref make_function(const ModuleSpec& spec, std::size_t index) {
    const FunctionDef& def = spec.functions[index];
    Function* f = PyObject_GC_New(Function, function_type);
    if (f == nullptr) return Ref();
    f->vectorcall = function_vectorcall;
    f->def = &def;
    f->nparams = count_params(def);
    f->nrequired = 0;
    while (f->nrequired < f->nparams && !def.params[f->nrequired].has_default) ++f->nrequired;
    f->name = PyUnicode_InternFromString(def.name);
    f->module = PyUnicode_FromString(spec.qualname);
    f->doc = PyUnicode_FromString(def.doc);
    f->code = Py_NewRef(signature_codes[index]);
    f->globals = Py_NewRef(module_dict);
    f->traceback_code = Py_NewRef(traceback_codes[index]);
    f->defaults = nullptr;
    for (PyObject*& p : f->params) p = nullptr;
    Ref owner(reinterpret_cast<PyObject*>(f));  // from here on, dealloc cleans up
    PyObject_GC_Track(f);
    if (!f->name || !f->module || !f->doc) return Ref();
    for (int j = 0; j < f->nparams; ++j) {
        f->params[j] = PyUnicode_InternFromString(def.params[j].name);
        if (f->params[j] == nullptr) return Ref();
    }
    if (f->nrequired == f->nparams) {
        f->defaults = Py_NewRef(Py_None);
    } else {
        f->defaults = PyTuple_New(f->nparams - f->nrequired);
        if (f->defaults == nullptr) return Ref();
        for (int j = f->nrequired; j < f->nparams; ++j) {
            PyObject* value = PyLong_FromLong(def.params[j].default_value);
            if (value == nullptr) return Ref();
            PyTuple_SET_ITEM(f->defaults, j - f->nrequired, value);
        }
    }
    return owner;
}

}  // namespace veltra::frame
