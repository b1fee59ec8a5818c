#include "runtime/runtime.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>

namespace vm {

namespace {

PyObject *g_dict = nullptr;  // strong reference to the module's __dict__

// Interned key objects by the address of their C text: the names are string
// literals, so one lookup per call site is a pointer hash.  Only touched with
// the GIL held.
PyObject *key_for(const char *name) {
    static std::unordered_map<const char *, PyObject *> cache;
    auto it = cache.find(name);
    if (it != cache.end()) return it->second;
    PyObject *k = PyUnicode_InternFromString(name);
    if (!k) throw py::error_already_set();
    cache.emplace(name, k);  // kept for the life of the process
    return k;
}

py::object lookup(PyObject *key, bool required) {
    if (!g_dict) raise(PyExc_RuntimeError, "vemra.markets is not initialised");
    PyObject *v = PyDict_GetItemWithError(g_dict, key);
    if (!v) {
        if (PyErr_Occurred()) throw py::error_already_set();
        // The module's own builtins, as a Python function of the module sees them.
        PyObject *builtins = PyDict_GetItemWithError(g_dict, key_for("__builtins__"));
        if (!builtins && PyErr_Occurred()) throw py::error_already_set();
        if (builtins && PyModule_Check(builtins)) builtins = PyModule_GetDict(builtins);
        if (builtins && PyDict_Check(builtins)) {
            v = PyDict_GetItemWithError(builtins, key);
            if (!v && PyErr_Occurred()) throw py::error_already_set();
        }
    }
    if (!v) {
        if (!required) return py::object();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(v);
}

}  // namespace

py::dict module_dict() {
    if (!g_dict) raise(PyExc_RuntimeError, "vemra.markets is not initialised");
    return py::reinterpret_borrow<py::dict>(g_dict);
}

void set_module(PyObject *module) {
    PyObject *d = PyModule_GetDict(module);
    Py_XINCREF(d);
    Py_XSETREF(g_dict, d);
}

void clear_module() { Py_CLEAR(g_dict); }

py::object G(const char *name) { return lookup(key_for(name), true); }
py::object G(py::handle name) { return lookup(name.ptr(), true); }
py::object G_opt(const char *name) { return lookup(key_for(name), false); }

void set_global(const char *name, py::handle value) {
    if (PyDict_SetItem(module_dict().ptr(), key_for(name), value.ptr()) < 0) throw py::error_already_set();
}

// ------------------------------------------------------------- definitions

py::object def(const FuncInfo &info, Impl impl, std::vector<Param> params) {
    py::object f = make_function(info, impl, std::move(params));
    set_global(info.name, f);
    return f;
}

ClassBody &ClassBody::method(const FuncInfo &info, Impl impl, std::vector<Param> params) {
    qualnames.push_back(qualify(info.name));
    FuncInfo qualified = info;
    qualified.qualname = qualnames.back().c_str();
    return attr(info.name, make_function(qualified, impl, std::move(params)));
}

ClassBody &ClassBody::staticmethod(const FuncInfo &info, Impl impl, std::vector<Param> params) {
    method(info, impl, std::move(params));
    auto &slot = members.back().second;
    PyObject *sm = PyStaticMethod_New(slot.ptr());
    if (!sm) throw py::error_already_set();
    slot = py::reinterpret_steal<py::object>(sm);
    return *this;
}

ClassBody &ClassBody::abstractmethod(const FuncInfo &info, Impl impl, std::vector<Param> params) {
    method(info, impl, std::move(params));
    auto &slot = members.back().second;
    slot = py::module_::import("abc").attr("abstractmethod")(slot);
    return *this;
}

py::object make_class(const ClassBody &body, py::tuple bases, bool bind) {
    py::tuple prepared = py::module_::import("types").attr("prepare_class")(body.name, bases);
    py::object meta = prepared[0];
    py::object ns = prepared[1];
    ns["__module__"] = py::str("vemra.markets");
    ns["__qualname__"] = py::str(body.name);
    if (body.doc) ns["__doc__"] = py::str(body.doc);
    for (const auto &m : body.members) ns[py::str(m.first)] = m.second;
    py::object cls = meta(body.name, bases, ns);
    if (bind) set_global(body.name, cls);
    return cls;
}

// ------------------------------------------------------------------ imports

py::object import_module(const char *dotted) {
    PyObject *m = PyImport_ImportModule(dotted);
    if (!m) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(m);
}

void import_as(const char *dotted, const char *as) {
    if (as) {
        set_global(as, import_module(dotted));
        return;
    }
    PyObject *top = PyImport_ImportModuleLevel(dotted, module_dict().ptr(), nullptr, nullptr, 0);
    if (!top) throw py::error_already_set();
    py::object topmod = py::reinterpret_steal<py::object>(top);
    std::string first(dotted);
    first = first.substr(0, first.find('.'));
    if (PyDict_SetItemString(module_dict().ptr(), first.c_str(), top) < 0) throw py::error_already_set();
}

py::object getattr_opt(py::handle obj, const char *name) {
    PyObject *v = PyObject_GetAttrString(obj.ptr(), name);
    if (v) return py::reinterpret_steal<py::object>(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::object();
}

py::object getattr_or_none(py::handle obj, const char *name) {
    py::object v = getattr_opt(obj, name);
    return v ? v : py::none();
}

bool hasattr_strict(py::handle obj, const char *name) { return static_cast<bool>(getattr_opt(obj, name)); }

bool truthy(py::handle obj) {
    const int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

namespace {

py::object import_from(py::handle module, const char *name) {
    if (py::object v = getattr_opt(module, name)) return v;
    // A submodule that was imported but not yet set as an attribute.
    PyObject *pkgname = PyObject_GetAttrString(module.ptr(), "__name__");
    if (pkgname) {
        PyObject *full = PyUnicode_FromFormat("%U.%s", pkgname, name);
        Py_DECREF(pkgname);
        if (full) {
            PyObject *sub = PyImport_GetModule(full);
            Py_DECREF(full);
            if (sub) return py::reinterpret_steal<py::object>(sub);
        }
    }
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %s", name);
    throw py::error_already_set();
}

py::object import_for_from(const char *module, std::initializer_list<const char *> names, int level) {
    py::list fromlist;
    for (const char *n : names) fromlist.append(py::str(n));
    PyObject *m = PyImport_ImportModuleLevel(module, module_dict().ptr(), nullptr, fromlist.ptr(), level);
    if (!m) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(m);
}

}  // namespace

void from_import(const char *module, std::initializer_list<const char *> names, int level) {
    py::object m = import_for_from(module, names, level);
    for (const char *n : names) set_global(n, import_from(m, n));
}

py::object import_name(const char *module, const char *name) {
    return import_from(import_for_from(module, {name}, 0), name);
}

void from_import_as(const char *module, const char *name, const char *as, int level) {
    py::object m = import_for_from(module, {name}, level);
    set_global(as, import_from(m, name));
}

// ------------------------------------------------------------ argument checks

void raise_arg_type(const char *arg, const char *expected, py::handle got) {
    PyObject *tname = PyType_GetName(Py_TYPE(got.ptr()));
    if (!tname) throw py::error_already_set();
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200U)", arg, expected,
                 tname);
    Py_DECREF(tname);
    throw py::error_already_set();
}

void require_exact(py::handle value, PyTypeObject *type, const char *arg, const char *expected, bool allow_none) {
    if (Py_TYPE(value.ptr()) == type) return;
    if (allow_none && value.is_none()) return;
    raise_arg_type(arg, expected, value);
}

py::int_ int_arg(py::handle value, const char *arg) {
    PyObject *v = value.ptr();
    if (PyLong_CheckExact(v)) return py::reinterpret_borrow<py::int_>(value);
    if (!PyUnicode_Check(v) && !PyBytes_Check(v) && PyNumber_Check(v)) {
        PyObject *r = PyNumber_Long(v);
        if (!r) throw py::error_already_set();
        return py::reinterpret_steal<py::int_>(r);
    }
    raise_arg_type(arg, "int", value);
}

long long int_arg_ll(py::handle value, const char *arg) {
    py::int_ i = int_arg(value, arg);
    long long r = PyLong_AsLongLong(i.ptr());
    if (r == -1 && PyErr_Occurred()) throw py::error_already_set();
    return r;
}

// --------------------------------------------------------------- exceptions

void raise(PyObject *type, const std::string &message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

void raise(PyObject *type, py::handle message) {
    PyErr_SetObject(type, message.ptr());
    throw py::error_already_set();
}

namespace {

// Builds type(message) and installs it as the pending error without the
// interpreter's implicit chaining (which would pick the caller's handled
// exception rather than ours).
[[noreturn]] void raise_chained(PyObject *type, py::handle message, py::error_already_set &other, bool as_cause) {
    py::object ctx = exc_value(other);
    PyObject *exc = PyObject_CallOneArg(type, message.ptr());
    if (!exc) throw py::error_already_set();
    if (as_cause) PyException_SetCause(exc, Py_NewRef(ctx.ptr()));
    PyException_SetContext(exc, Py_NewRef(ctx.ptr()));
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(exc))), exc, nullptr);
    throw py::error_already_set();
}

}  // namespace

void raise_with_context(PyObject *type, py::handle message, py::error_already_set &context) {
    raise_chained(type, message, context, false);
}

void raise_from(PyObject *type, py::handle message, py::error_already_set &cause) {
    raise_chained(type, message, cause, true);
}

bool is_exception(const py::error_already_set &e) { return e.matches(PyExc_Exception); }

py::object exc_value(const py::error_already_set &e) { return e.value(); }

// -------------------------------------------------------------------- locks

LockGuard::LockGuard(py::handle lock) : lock_(py::reinterpret_borrow<py::object>(lock)) {
    PyObject *r = PyObject_CallMethod(lock_.ptr(), "acquire", nullptr);
    if (!r) throw py::error_already_set();
    Py_DECREF(r);
}

LockGuard::~LockGuard() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject *r = PyObject_CallMethod(lock_.ptr(), "release", nullptr);
    if (!r) {
        PyErr_WriteUnraisable(lock_.ptr());
    } else {
        Py_DECREF(r);
    }
    PyErr_Restore(type, value, tb);
}

// ----------------------------------------------------------------- numbers

double py_round(double x, int ndigits) {
    if (!std::isfinite(x) || ndigits > 22 || ndigits < -22) {
        py::object r = py::module_::import("builtins").attr("round")(py::float_(x), ndigits);
        return r.cast<double>();
    }
    // glibc prints the exact binary value correctly rounded, ties to even,
    // which is what float.__round__ computes.
    char buf[400];
    if (ndigits >= 0) {
        std::snprintf(buf, sizeof buf, "%.*f", ndigits, x);
        return std::strtod(buf, nullptr);
    }
    py::object r = py::module_::import("builtins").attr("round")(py::float_(x), ndigits);
    return r.cast<double>();
}

}  // namespace vm
