// The module records: the multi-phase definition with its create and exec steps, the guards
// against a second interpreter and against re-initialisation, and NumPy's C API at import.
#include "records.hpp"

#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#include <cstdint>

namespace veltra::frame {

PyObject* module_dict = nullptr;
PyObject* builtins_module = nullptr;

namespace {

// ---------------------------------------------------------------------------------------
// Process-wide records of this module.  Written only during import, under the interpreter
// lock; never finalised.

std::int64_t interpreter_record = -1;  // the interpreter that first created the module
PyObject* module_record = nullptr;     // the module once its exec step has begun

const ModuleSpec* module_spec = nullptr;  // recorded by the create step

const ModuleSpec* spec_of(PyModuleDef* def) {
    return def ? reinterpret_cast<const Module*>(def)->spec : nullptr;
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
    if (build_function_type() < 0) return -1;
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

}  // namespace veltra::frame
