// The module frame: definition and initialisation, function objects, argument parsing,
// tracebacks and the Python-level steps of the element-wise pattern.  See frame.hpp.
#include "frame.hpp"

#include <frameobject.h>

#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#include <cstdint>
#include <cstring>

namespace veltra::frame {

Interned interned{};

namespace {

// ---------------------------------------------------------------------------------------
// Process-wide records of this module.  Written only during import, under the interpreter
// lock; never finalised.

std::int64_t interpreter_record = -1;  // the interpreter that first created the module
PyObject* module_record = nullptr;     // the module once its exec step has begun
PyObject* module_dict = nullptr;       // its namespace, the globals of every function
PyObject* builtins_module = nullptr;
PyTypeObject* function_type = nullptr;

inline constexpr std::size_t max_functions = 8;
// Code objects of the functions: __code__ (named like the function, carrying the parameter
// names) and the one their traceback entries show (named module.function).  Built once.
PyObject* signature_codes[max_functions];
PyObject* traceback_codes[max_functions];

const ModuleSpec* module_spec = nullptr;  // recorded by the create step

const ModuleSpec* spec_of(PyModuleDef* def) {
    return def ? reinterpret_cast<const Module*>(def)->spec : nullptr;
}

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

void add_traceback(const char* source, const char* name, int line) {
    PyObject* exc = PyErr_GetRaisedException();
    PyCodeObject* code = PyCode_NewEmpty(source, name, line);
    PyErr_SetRaisedException(exc);
    if (code == nullptr) return;
    add_traceback(reinterpret_cast<PyObject*>(code));
    Py_DECREF(code);
}

// ---------------------------------------------------------------------------------------
// Interned identifiers and constants.

int intern(PyObject*& slot, const char* text) {
    if (slot == nullptr) slot = PyUnicode_InternFromString(text);
    return slot ? 0 : -1;
}

int make_float(PyObject*& slot, double value) {
    if (slot == nullptr) slot = PyFloat_FromDouble(value);
    return slot ? 0 : -1;
}

int build_interned() {
    Interned& s = interned;
    if (intern(s.np, "np") < 0 || intern(s.asarray, "asarray") < 0 ||
        intern(s.float64, "float64") < 0 || intern(s.ndim, "ndim") < 0 ||
        intern(s.shape, "shape") < 0 || intern(s.ravel, "ravel") < 0 ||
        intern(s.reshape, "reshape") < 0 || intern(s.ascontiguousarray, "ascontiguousarray") < 0 ||
        intern(s.empty_like, "empty_like") < 0 || intern(s.any, "any") < 0 ||
        intern(s.broadcast_shapes, "broadcast_shapes") < 0 ||
        intern(s.broadcast_to, "broadcast_to") < 0 || intern(s.broadcast_arrays, "broadcast_arrays") < 0)
        return -1;
    if (s.dtype_kwnames == nullptr) s.dtype_kwnames = Py_BuildValue("(s)", "dtype");
    if (s.int_zero == nullptr) s.int_zero = PyLong_FromLong(0);
    if (s.dtype_kwnames == nullptr || s.int_zero == nullptr) return -1;
    return (make_float(s.float_zero, 0.0) < 0 || make_float(s.float_one, 1.0) < 0 ||
            make_float(s.float_minus_one, -1.0) < 0)
               ? -1
               : 0;
}

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

// ---------------------------------------------------------------------------------------
// NumPy at import.

// The NumPy types the frame's declarations refer to must be type objects at least as large as
// the structures the headers describe; a smaller one means a binary-incompatible NumPy.
int check_numpy_types(PyObject* numpy) {
    struct Expected {
        const char* name;
        Py_ssize_t size;
    };
    static const Expected expected[] = {
        {"dtype", sizeof(PyArray_Descr)},
        {"flatiter", sizeof(PyArrayIterObject)},
        {"broadcast", sizeof(PyArrayMultiIterObject)},
        {"ndarray", sizeof(PyArrayObject_fields)},
        {"generic", sizeof(PyObject)},
        {"number", sizeof(PyObject)},
        {"integer", sizeof(PyObject)},
        {"signedinteger", sizeof(PyObject)},
        {"unsignedinteger", sizeof(PyObject)},
        {"inexact", sizeof(PyObject)},
        {"floating", sizeof(PyObject)},
        {"complexfloating", sizeof(PyObject)},
        {"flexible", sizeof(PyObject)},
        {"character", sizeof(PyObject)},
        {"ufunc", sizeof(PyUFuncObject)},
    };
    for (const Expected& e : expected) {
        Ref type(PyObject_GetAttrString(numpy, e.name));
        if (!type) return -1;
        if (!PyType_Check(type.get())) {
            PyErr_Format(PyExc_TypeError, "numpy.%s is not a type object", e.name);
            return -1;
        }
        const Py_ssize_t size = reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize;
        if (size < e.size) {
            PyErr_Format(PyExc_ValueError,
                         "numpy.%s size changed, may indicate binary incompatibility. "
                         "Expected %zd from C header, got %zd from PyObject",
                         e.name, e.size, size);
            return -1;
        }
    }
    return 0;
}

// NumPy's own C-API loader.
int load_numpy_c_api() {
    return _import_array() >= 0 ? 0 : raise_import_error("numpy._core.multiarray failed to import");
}

// ---------------------------------------------------------------------------------------
// Create and exec steps.

// Copies spec.<from> to module.<to>; a missing attribute is skipped, and so is None when
// `skip_none`.
int copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to,
                        bool skip_none) {
    PyObject* raw = nullptr;
    if (PyObject_GetOptionalAttrString(spec, from, &raw) < 0) return -1;
    Ref value(raw);
    if (!value || (skip_none && value.get() == Py_None)) return 0;
    return PyDict_SetItemString(dict, to, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef* def) {
    module_spec = spec_of(def);
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (interpreter_record == -1) {
        interpreter_record = current;
    } else if (current != interpreter_record) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (module_record != nullptr) return Py_NewRef(module_record);

    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, dict, "loader", "__loader__", false) < 0 ||
        copy_spec_attribute(spec, dict, "origin", "__file__", false) < 0 ||
        copy_spec_attribute(spec, dict, "parent", "__package__", false) < 0 ||
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", true) < 0)
        return nullptr;
    return module.release();
}

int warn_on_version_mismatch(const ModuleSpec& spec) {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, spec.qualname, "does not match",
                            major, minor);
}

int register_in_module_table(const ModuleSpec& spec, PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    Ref key(PyUnicode_FromString(spec.qualname));
    if (!key) return -1;
    const int present = PyDict_Contains(modules, key.get());
    if (present != 0) return present < 0 ? -1 : 0;
    return PyDict_SetItem(modules, key.get(), module);
}

// The module body: `np`, NumPy's C API, the functions in table order, the module's further
// objects, `__test__`.
int run_module_body(const ModuleSpec& spec, PyObject* numpy) {
    if (PyDict_SetItem(module_dict, interned.np, numpy) < 0 || load_numpy_c_api() < 0) return -1;
    if (function_type == nullptr) {
        function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
        if (function_type == nullptr) return -1;
    }
    for (std::size_t i = 0; i < spec.nfunctions; ++i) {
        Ref function = make_function(spec, i);
        if (!function || PyDict_SetItemString(module_dict, spec.functions[i].name, function.get()) < 0)
            return -1;
    }
    if (spec.extend != nullptr && spec.extend(module_record) < 0) return -1;
    Ref test(PyDict_New());
    if (!test) return -1;
    return PyDict_SetItemString(module_dict, "__test__", test.get());
}

int exec_steps(const ModuleSpec& spec, PyObject* module) {
    if (spec.nfunctions > max_functions) {
        PyErr_SetString(PyExc_SystemError, "too many functions in one module");
        return -1;
    }
    module_dict = PyModule_GetDict(module);
    if (builtins_module == nullptr) builtins_module = PyImport_ImportModule("builtins");
    if (builtins_module == nullptr ||
        PyDict_SetItemString(module_dict, "__builtins__", builtins_module) < 0)
        return -1;
    if (warn_on_version_mismatch(spec) < 0 || build_interned() < 0 ||
        register_in_module_table(spec, module) < 0 || build_code_objects(spec) < 0)
        return -1;
    if (spec.publish != nullptr && spec.publish(module) < 0) return -1;
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy || check_numpy_types(numpy.get()) < 0) return -1;
    return run_module_body(spec, numpy.get());
}

int module_exec(PyObject* module) {
    // The exec step may be handed any module object (PyModule_ExecDef does not check), so the
    // description comes from the create step's record, not from the object.
    const ModuleSpec* recorded = module_spec ? module_spec : spec_of(PyModule_GetDef(module));
    if (recorded == nullptr) {
        PyErr_SetString(PyExc_SystemError, "module executed without its definition");
        return -1;
    }
    const ModuleSpec& spec = *recorded;
    if (module_record != nullptr) {
        if (module_record == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     spec.name);
        return -1;
    }
    module_record = Py_NewRef(module);
    if (exec_steps(spec, module) == 0) return 0;

    Ref init_name(PyUnicode_FromFormat("init %s", spec.qualname));
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "init %s", spec.qualname);
    if (init_name) add_traceback(spec.source, PyUnicode_AsUTF8(init_name.get()), 1);
    Py_CLEAR(module_record);
    return -1;
}

}  // namespace

int raise_import_error(const char* message) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_ImportError, message);
    PyObject* exc = PyErr_GetRaisedException();
    PyException_SetContext(exc, cause);
    PyErr_SetRaisedException(exc);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

// ---------------------------------------------------------------------------------------
// Python-level steps of the element-wise patterns.

int Float64Buffer::acquire(PyObject* array, bool writable) {
    const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(array, &view_, flags) < 0) return -1;
    held_ = true;
    const char* format = view_.format ? view_.format : "B";
    if (*format == '@' || *format == '=' || *format == (PY_LITTLE_ENDIAN ? '<' : '>')) ++format;
    if (view_.ndim != 1 || view_.itemsize != static_cast<Py_ssize_t>(sizeof(double)) ||
        std::strcmp(format, "d") != 0) {
        PyErr_SetString(PyExc_TypeError, "expected a one-dimensional float64 buffer");
        return -1;
    }
    return 0;
}

Ref numpy_global() {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(module_dict, interned.np, &found) < 0) return Ref();
    if (found == nullptr && PyObject_GetOptionalAttr(builtins_module, interned.np, &found) < 0)
        return Ref();
    if (found == nullptr) PyErr_Format(PyExc_NameError, "name '%U' is not defined", interned.np);
    return Ref(found);
}

Ref as_float64(PyObject* np, PyObject* obj) {
    Ref asarray(PyObject_GetAttr(np, interned.asarray));
    if (!asarray) return Ref();
    Ref float64(PyObject_GetAttr(np, interned.float64));
    if (!float64) return Ref();
    PyObject* args[] = {obj, float64.get()};
    return Ref(PyObject_Vectorcall(asarray.get(), args, 1, interned.dtype_kwnames));
}

// np.<function>(arg)
static Ref call_numpy(PyObject* np, PyObject* function_name, PyObject* arg) {
    Ref function(PyObject_GetAttr(np, function_name));
    if (!function) return Ref();
    return Ref(PyObject_CallOneArg(function.get(), arg));
}

int fail_if_any(PyObject* np, PyObject* mask, const char* message) {
    Ref reduced = call_numpy(np, interned.any, mask);
    const int truth = reduced ? PyObject_IsTrue(reduced.get()) : -1;
    if (truth > 0) PyErr_SetString(PyExc_ValueError, message);
    return truth == 0 ? 0 : -1;
}

// out = np.empty_like(inputs[0]), then the buffers: inputs read-only, the output writable.
static int allocate_and_acquire(PyObject* np, ElementCall& call, int ninputs) {
    call.out = call_numpy(np, interned.empty_like, call.inputs[0].get());
    if (!call.out) return -1;
    for (int k = 0; k < ninputs; ++k)
        if (call.in[k].acquire(call.inputs[k].get(), false) < 0) return -1;
    if (call.output.acquire(call.out.get(), true) < 0) return -1;
    for (int k = 1; k < ninputs; ++k) {
        if (call.in[k].size() < call.size()) {
            PyErr_SetString(PyExc_ValueError, "broadcast inputs differ in length");
            return -1;
        }
    }
    if (call.output.size() < call.size()) {
        PyErr_SetString(PyExc_ValueError, "output buffer is shorter than the input");
        return -1;
    }
    return 0;
}

// np.ascontiguousarray(arr.ravel())
static Ref flatten(PyObject* np, PyObject* arr) {
    Ref raveled(PyObject_VectorcallMethod(interned.ravel, &arr, 1, nullptr));
    return raveled ? call_numpy(np, interned.ascontiguousarray, raveled.get()) : Ref();
}

// arr.ndim == 0
static int is_zero_dimensional(PyObject* arr) {
    Ref ndim(PyObject_GetAttr(arr, interned.ndim));
    return ndim ? PyObject_RichCompareBool(ndim.get(), interned.int_zero, Py_EQ) : -1;
}

int unary_begin(PyObject* x, Check check, ElementCall& call) {
    Ref np = numpy_global();
    if (!np) return -1;
    Ref x_arr = as_float64(np.get(), x);
    if (!x_arr) return -1;
    if (check != nullptr && check(np.get(), x_arr.get()) < 0) return -1;
    const int scalar = is_zero_dimensional(x_arr.get());
    if (scalar < 0) return -1;
    call.scalar = scalar == 1;
    call.inputs[0] = flatten(np.get(), x_arr.get());
    if (!call.inputs[0] || allocate_and_acquire(np.get(), call, 1) < 0) return -1;
    call.shape = Ref(PyObject_GetAttr(x_arr.get(), interned.shape));
    return call.shape ? 0 : -1;
}

int broadcast_shapes_begin(PyObject* x, PyObject* y, ElementCall& call) {
    Ref np = numpy_global();
    if (!np) return -1;
    Ref arrays[2] = {as_float64(np.get(), x), Ref()};
    if (!arrays[0]) return -1;
    arrays[1] = as_float64(np.get(), y);
    if (!arrays[1]) return -1;
    Ref x_shape(PyObject_GetAttr(arrays[0].get(), interned.shape));
    if (!x_shape) return -1;
    Ref y_shape(PyObject_GetAttr(arrays[1].get(), interned.shape));
    if (!y_shape) return -1;
    Ref broadcast_shapes(PyObject_GetAttr(np.get(), interned.broadcast_shapes));
    if (!broadcast_shapes) return -1;
    PyObject* shapes[] = {x_shape.get(), y_shape.get()};
    call.shape = Ref(PyObject_Vectorcall(broadcast_shapes.get(), shapes, 2, nullptr));
    if (!call.shape) return -1;
    const Py_ssize_t ndim = PyObject_Length(call.shape.get());
    if (ndim < 0) return -1;
    call.scalar = ndim == 0;
    Ref broadcast_to(PyObject_GetAttr(np.get(), interned.broadcast_to));
    if (!broadcast_to) return -1;
    for (int k = 0; k < 2; ++k) {
        PyObject* to_args[] = {arrays[k].get(), call.shape.get()};
        Ref full(PyObject_Vectorcall(broadcast_to.get(), to_args, 2, nullptr));
        if (!full) return -1;
        call.inputs[k] = flatten(np.get(), full.get());
        if (!call.inputs[k]) return -1;
    }
    return allocate_and_acquire(np.get(), call, 2);
}

int broadcast_arrays_begin(PyObject* x, PyObject* y, Check check_x, ElementCall& call) {
    Ref np = numpy_global();
    if (!np) return -1;
    Ref x_arr = as_float64(np.get(), x);
    if (!x_arr) return -1;
    Ref y_arr = as_float64(np.get(), y);
    if (!y_arr) return -1;
    if (check_x != nullptr && check_x(np.get(), x_arr.get()) < 0) return -1;
    Ref broadcast_arrays(PyObject_GetAttr(np.get(), interned.broadcast_arrays));
    if (!broadcast_arrays) return -1;
    PyObject* arrays[] = {x_arr.get(), y_arr.get()};
    Ref pair(PyObject_Vectorcall(broadcast_arrays.get(), arrays, 2, nullptr));
    if (!pair) return -1;
    Ref items(PySequence_Fast(pair.get(), "broadcast_arrays must return a sequence"));
    if (!items) return -1;
    if (PySequence_Fast_GET_SIZE(items.get()) != 2) {
        PyErr_SetString(PyExc_ValueError, "expected two broadcast arrays");
        return -1;
    }
    PyObject* bx = PySequence_Fast_GET_ITEM(items.get(), 0);
    PyObject* by = PySequence_Fast_GET_ITEM(items.get(), 1);
    const int scalar = is_zero_dimensional(bx);
    if (scalar < 0) return -1;
    call.scalar = scalar == 1;
    call.inputs[0] = flatten(np.get(), bx);
    if (!call.inputs[0]) return -1;
    call.inputs[1] = flatten(np.get(), by);
    if (!call.inputs[1] || allocate_and_acquire(np.get(), call, 2) < 0) return -1;
    call.shape = Ref(PyObject_GetAttr(bx, interned.shape));
    return call.shape ? 0 : -1;
}

PyObject* finish(ElementCall& call) {
    if (call.scalar) {
        if (call.output.size() < 1) {
            PyErr_SetString(PyExc_IndexError, "index 0 is out of bounds for an empty result");
            return nullptr;
        }
        return PyFloat_FromDouble(load(call.output.bytes(), 0));
    }
    PyObject* args[] = {call.out.get(), call.shape.get()};
    return PyObject_VectorcallMethod(interned.reshape, args, 2, nullptr);
}

// ---------------------------------------------------------------------------------------
// The integer argument.

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
