// The extension entry: multi-phase initialisation with a create step that
// pins the module to one interpreter per process and hands back the same
// module object on re-import, and an exec step that runs the module body once.
#include <pybind11/pybind11.h>

#include <frameobject.h>

#include "body.hpp"
#include "runtime/runtime.hpp"

namespace py = pybind11;

namespace {

// "The module" of this process: set by a successful exec step (and while it
// runs), cleared when the body fails so that a later import starts afresh.
PyObject *g_module = nullptr;
int64_t g_interpreter_id = -1;

// Copies a ModuleSpec attribute into the module dict; a missing one is skipped.
int copy_spec_attr(PyObject *spec, PyObject *dict, const char *from, const char *to, bool skip_none) {
    PyObject *v = PyObject_GetAttrString(spec, from);
    if (!v) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    int rc = 0;
    if (!(skip_none && v == Py_None)) rc = PyDict_SetItemString(dict, to, v);
    Py_DECREF(v);
    return rc;
}

PyObject *markets_create(PyObject *spec, PyModuleDef *) {
    PyInterpreterState *interp = PyInterpreterState_Get();
    int64_t id = PyInterpreterState_GetID(interp);
    if (id == -1) return nullptr;
    if (g_interpreter_id == -1) {
        g_interpreter_id = id;
    } else if (g_interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (g_module) return Py_NewRef(g_module);

    PyObject *name = PyObject_GetAttrString(spec, "name");
    if (!name) return nullptr;
    PyObject *module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (!module) return nullptr;
    PyObject *dict = PyModule_GetDict(module);
    if (copy_spec_attr(spec, dict, "loader", "__loader__", false) < 0 ||
        copy_spec_attr(spec, dict, "origin", "__file__", false) < 0 ||
        copy_spec_attr(spec, dict, "parent", "__package__", false) < 0 ||
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", true) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

// Adds the frame "init vemra.markets" to the pending error's traceback, so an
// import failure points at the module body.
void add_init_traceback(PyObject *globals) {
    PyCodeObject *code = PyCode_NewEmpty("src/vemra/markets", "init vemra.markets", 0);
    if (!code) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyFrameObject *frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    Py_DECREF(code);
    if (!frame) {
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_Restore(type, value, tb);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

int markets_exec(PyObject *module) {
    if (g_module) {
        if (g_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'markets' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    g_module = Py_NewRef(module);
    PyObject *dict = PyModule_GetDict(module);
    vm::set_module(module);

    int ok = 0;
    PyObject *builtins = PyImport_ImportModule("builtins");
    if (builtins) {
        ok = PyDict_SetItemString(dict, "__builtins__", builtins) == 0;
        Py_DECREF(builtins);
    }
    if (ok) {
        const long runtime_hex = Py_Version;
        const int major = static_cast<int>((runtime_hex >> 24) & 0xff);
        const int minor = static_cast<int>((runtime_hex >> 16) & 0xff);
        if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
            ok = PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                                  PY_MAJOR_VERSION, PY_MINOR_VERSION, "vemra.markets", "does not match", major,
                                  minor) == 0;
        }
    }
    if (ok) {
        try {
            vm::init_function_type();
            vm::run_module_body();
        } catch (py::error_already_set &e) {
            e.restore();
            ok = 0;
        } catch (py::builtin_exception &e) {
            e.set_error();
            ok = 0;
        } catch (std::exception &e) {
            PyErr_SetString(PyExc_SystemError, e.what());
            ok = 0;
        }
    }
    if (ok) return 0;

    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init vemra.markets");
    add_init_traceback(dict);
    vm::clear_module();
    Py_CLEAR(g_module);
    return -1;
}

PyModuleDef_Slot markets_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(markets_create)},
    {Py_mod_exec, reinterpret_cast<void *>(markets_exec)},
    {0, nullptr},
};

PyModuleDef markets_def = {
    PyModuleDef_HEAD_INIT,
    "markets",
    nullptr,  // no docstring
    0,        // all state lives in module globals
    nullptr,  // the body defines every function
    markets_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_markets(void) { return PyModuleDef_Init(&markets_def); }
