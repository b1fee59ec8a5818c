#include "runtime/pyfunc.hpp"

#include "runtime/runtime.hpp"

#include <structmember.h>

#include <cstring>
#include <memory>
#include <new>

namespace vm {

namespace {

struct ParamSpec {
    PyObject *name;  // interned; the Binding owns one reference
    Param::Kind kind;
};

// How a definition binds its arguments; owned by the function object.
struct Binding {
    Impl impl = nullptr;
    std::vector<ParamSpec> params;
    size_t n_positional = 0;  // positional-only plus positional-or-keyword
    size_t n_posonly = 0;
    Py_ssize_t varargs = -1;   // index of *args, or -1
    Py_ssize_t varkw = -1;     // index of **kwargs, or -1
    size_t n_kwonly = 0;
    bool needs_kwonly_wording = false;

    Binding() = default;
    Binding(const Binding &) = delete;
    Binding &operator=(const Binding &) = delete;
    ~Binding() {
        for (auto &p : params) Py_XDECREF(p.name);
    }
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *dict;
    PyObject *weakrefs;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *defaults;     // tuple or NULL
    PyObject *kwdefaults;   // dict or NULL
    PyObject *annotations;  // dict or NULL
    Binding *binding;
};

PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};

inline FunctionObject *as_fn(PyObject *o) { return reinterpret_cast<FunctionObject *>(o); }

// The interpreter's wording for "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
PyObject *join_names(const std::vector<PyObject *> &names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) out += ",";
            out += (i + 1 == names.size()) ? " and " : " ";
        }
        out += "'";
        const char *s = PyUnicode_AsUTF8(names[i]);
        if (!s) return nullptr;
        out += s;
        out += "'";
    }
    return PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

void raise_missing(FunctionObject *f, const std::vector<PyObject *> &names, const char *kind) {
    PyObject *joined = join_names(names);
    if (!joined) return;
    PyErr_Format(PyExc_TypeError, "%U() missing %zu required %s argument%s: %U", f->qualname, names.size(), kind,
                 names.size() == 1 ? "" : "s", joined);
    Py_DECREF(joined);
}

// Worded as the interpreter words it (ceval's too_many_positional).
void raise_too_many_positional(FunctionObject *f, Py_ssize_t given, PyObject *defaults, PyObject **slots) {
    const Binding &s = *f->binding;
    Py_ssize_t n_defaults = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    Py_ssize_t most = static_cast<Py_ssize_t>(s.n_positional);
    size_t kw_given = 0;
    for (size_t i = 0; i < s.params.size(); ++i) {
        if (s.params[i].kind == Param::KeywordOnly && slots[i]) ++kw_given;
    }
    bool plural = n_defaults ? true : most != 1;
    PyObject *takes = n_defaults ? PyUnicode_FromFormat("from %zd to %zd", most - n_defaults, most)
                                 : PyUnicode_FromFormat("%zd", most);
    if (!takes) return;
    PyObject *kw = kw_given ? PyUnicode_FromFormat(" positional argument%s (and %zu keyword-only argument%s)",
                                                   given != 1 ? "s" : "", kw_given, kw_given != 1 ? "s" : "")
                            : PyUnicode_FromString("");
    if (kw) {
        PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", f->qualname, takes,
                     plural ? "s" : "", given, kw, (given == 1 && !kw_given) ? "was" : "were");
    }
    Py_XDECREF(kw);
    Py_DECREF(takes);
}

// Index of the parameter that keyword `key` names; -1 when none, -2 on error.
// Positional-only parameters match only when `posonly` is set.
Py_ssize_t find_keyword(const Binding &s, PyObject *key, bool posonly) {
    // Interned names make the identity test the common case.
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t i = 0; i < s.params.size(); ++i) {
            const ParamSpec &p = s.params[i];
            if (p.kind == Param::VarArgs || p.kind == Param::VarKwargs) continue;
            if ((p.kind == Param::PositionalOnly) != posonly) continue;
            int same;
            if (pass == 0) {
                same = p.name == key;
            } else {
                same = PyUnicode_Compare(p.name, key) == 0;
                if (PyErr_Occurred()) return -2;
            }
            if (same) return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

// Sets "got some positional-only arguments passed as keyword arguments" when
// the call named any; false (and no error) when it did not.
bool raise_posonly_as_keyword(FunctionObject *f, PyObject *kwnames) {
    const Binding &s = *f->binding;
    if (!s.n_posonly) return false;
    std::string names;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = find_keyword(s, key, true);
        if (i == -2) return true;
        if (i < 0) continue;
        if (!names.empty()) names += ", ";
        const char *utf8 = PyUnicode_AsUTF8(key);
        if (!utf8) return true;
        names += utf8;
    }
    if (names.empty()) return false;
    PyErr_Format(PyExc_TypeError, "%U() got some positional-only arguments passed as keyword arguments: '%s'",
                 f->qualname, names.c_str());
    return true;
}

// Binds a vectorcall onto `slots` (one per declared parameter).  Borrowed
// references, except for *args and **kwargs which are stored in `owned`.
bool bind(FunctionObject *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **slots,
          PyObject *defaults, PyObject *kwdefaults, py::object &var_tuple, py::object &var_dict,
          py::object &held) {
    const Binding &s = *f->binding;
    const size_t npos = s.n_positional;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    size_t take = static_cast<size_t>(nargs) < npos ? static_cast<size_t>(nargs) : npos;
    for (size_t i = 0; i < take; ++i) slots[i] = args[i];

    if (s.varargs >= 0) {
        Py_ssize_t extra = nargs > static_cast<Py_ssize_t>(npos) ? nargs - static_cast<Py_ssize_t>(npos) : 0;
        PyObject *t = PyTuple_New(extra);
        if (!t) return false;
        for (Py_ssize_t i = 0; i < extra; ++i) {
            PyObject *v = args[npos + static_cast<size_t>(i)];
            Py_INCREF(v);
            PyTuple_SET_ITEM(t, i, v);
        }
        var_tuple = py::reinterpret_steal<py::object>(t);
        slots[s.varargs] = t;
    }
    if (s.varkw >= 0) {
        PyObject *d = PyDict_New();
        if (!d) return false;
        var_dict = py::reinterpret_steal<py::object>(d);
        slots[s.varkw] = d;
    }

    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        PyObject *value = args[nargs + k];
        Py_ssize_t found = find_keyword(s, key, false);
        if (found == -2) return false;
        if (found >= 0) {
            if (slots[found]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%U'", f->qualname, key);
                return false;
            }
            slots[found] = value;
            continue;
        }
        if (s.varkw >= 0) {
            if (PyDict_SetItem(slots[s.varkw], key, value) < 0) return false;
            continue;
        }
        // As the interpreter does: positional-only names given as keywords
        // (anywhere in the call) are the reported fault, else this keyword.
        if (!raise_posonly_as_keyword(f, kwnames)) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", f->qualname, key);
        }
        return false;
    }

    // The interpreter reports keyword problems before a surplus of positionals.
    if (static_cast<size_t>(nargs) > npos && s.varargs < 0) {
        raise_too_many_positional(f, nargs, defaults, slots);
        return false;
    }

    // Defaults fill the trailing positional parameters.
    Py_ssize_t n_defaults = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    Py_ssize_t first_default = static_cast<Py_ssize_t>(npos) - n_defaults;
    std::vector<PyObject *> missing;
    for (size_t i = 0; i < npos; ++i) {
        if (slots[i]) continue;
        Py_ssize_t di = static_cast<Py_ssize_t>(i) - first_default;
        if (di >= 0 && di < n_defaults) {
            slots[i] = PyTuple_GET_ITEM(defaults, di);
        } else {
            missing.push_back(s.params[i].name);
        }
    }
    if (!missing.empty()) {
        raise_missing(f, missing, "positional");
        return false;
    }
    for (size_t i = 0; i < s.params.size(); ++i) {
        const ParamSpec &p = s.params[i];
        if (p.kind != Param::KeywordOnly || slots[i]) continue;
        PyObject *dv = nullptr;
        if (kwdefaults) {
            dv = PyDict_GetItemWithError(kwdefaults, p.name);
            if (!dv && PyErr_Occurred()) return false;
        }
        if (dv) {
            // The dict may be changed in place while the body runs: hold the value.
            if (!held) held = py::list();
            if (PyList_Append(held.ptr(), dv) < 0) return false;
            slots[i] = dv;
        } else if (s.needs_kwonly_wording) {
            PyErr_Format(PyExc_TypeError, "%U() needs keyword-only argument %U", f->name, p.name);
            return false;
        } else {
            missing.push_back(p.name);
        }
    }
    if (!missing.empty()) {
        raise_missing(f, missing, "keyword-only");
        return false;
    }
    return true;
}

}  // namespace

struct FuncAccess {
    static void set(Args &a, PyObject **slots, size_t n, PyObject *fn) {
        a.slots_ = slots;
        a.n_ = n;
        a.fn_ = fn;
    }
};

namespace {

// Runs the body; C++ exceptions stop here and become the Python error.
PyObject *call_impl(FunctionObject *f, PyObject **slots, size_t n, PyObject *self) {
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    Args a;
    FuncAccess::set(a, slots, n, self);
    PyObject *result = nullptr;
    try {
        result = f->binding->impl(a).release().ptr();
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (py::builtin_exception &e) {
        e.set_error();
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    }
    Py_LeaveRecursiveCall();
    if (!result && !PyErr_Occurred()) {
        PyErr_Format(PyExc_SystemError, "%U returned NULL without setting an exception", f->qualname);
    }
    return result;
}

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    FunctionObject *f = as_fn(self);
    const Binding &s = *f->binding;
    const size_t n = s.params.size();

    // Every parameter given by position and nothing else to bind: the
    // caller's array is already the argument list.
    if (!kwnames && static_cast<size_t>(PyVectorcall_NARGS(nargsf)) == n && s.n_positional == n) {
        return call_impl(f, const_cast<PyObject **>(args), n, self);
    }
    // Positional arguments with trailing defaults, the next most common form.
    const size_t given = static_cast<size_t>(PyVectorcall_NARGS(nargsf));
    if (!kwnames && s.n_positional == n && given < n && n <= 16 && f->defaults) {
        PyObject *defaults = f->defaults;
        const size_t n_defaults = static_cast<size_t>(PyTuple_GET_SIZE(defaults));
        if (given + n_defaults >= n) {
            PyObject *slots[16];
            for (size_t i = 0; i < given; ++i) slots[i] = args[i];
            const size_t first = n - n_defaults;
            for (size_t i = given; i < n; ++i) slots[i] = PyTuple_GET_ITEM(defaults, i - first);
            Py_INCREF(defaults);  // the body may reassign __defaults__
            PyObject *result = call_impl(f, slots, n, self);
            Py_DECREF(defaults);
            return result;
        }
    }

    // Keep defaults alive even if the body reassigns __defaults__.
    PyObject *defaults = f->defaults;
    PyObject *kwdefaults = f->kwdefaults;
    Py_XINCREF(defaults);
    Py_XINCREF(kwdefaults);

    PyObject *inline_slots[16] = {nullptr};
    std::unique_ptr<PyObject *[]> heap_slots;
    PyObject **slots = inline_slots;
    if (n > 16) {
        heap_slots.reset(new (std::nothrow) PyObject *[n]());
        if (!heap_slots) {
            Py_XDECREF(defaults);
            Py_XDECREF(kwdefaults);
            return PyErr_NoMemory();
        }
        slots = heap_slots.get();
    }

    PyObject *result = nullptr;
    {
        py::object var_tuple, var_dict, held;
        if (bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, slots, defaults, kwdefaults, var_tuple, var_dict,
                 held)) {
            result = call_impl(f, slots, n, self);
        }
    }
    Py_XDECREF(defaults);
    Py_XDECREF(kwdefaults);
    return result;
}

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    FunctionObject *f = as_fn(self);
    Py_VISIT(f->dict);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    return 0;
}

int function_clear(PyObject *self) {
    FunctionObject *f = as_fn(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    return 0;
}

void function_dealloc(PyObject *self) {
    FunctionObject *f = as_fn(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    delete f->binding;
    f->binding = nullptr;
    Py_TYPE(self)->tp_free(self);
}

PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_fn(self)->qualname, self);
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

// --- attributes -----------------------------------------------------------

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_fn(self)->name); }
int set_name(PyObject *self, PyObject *value, void *) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_SETREF(as_fn(self)->name, Py_NewRef(value));
    return 0;
}
PyObject *get_qualname(PyObject *self, void *) { return Py_NewRef(as_fn(self)->qualname); }
int set_qualname(PyObject *self, PyObject *value, void *) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_SETREF(as_fn(self)->qualname, Py_NewRef(value));
    return 0;
}
PyObject *get_defaults(PyObject *self, void *) {
    PyObject *d = as_fn(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_defaults(PyObject *self, PyObject *value, void *) {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_fn(self)->defaults, Py_XNewRef(value));
    return 0;
}
PyObject *get_kwdefaults(PyObject *self, void *) {
    PyObject *d = as_fn(self)->kwdefaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_kwdefaults(PyObject *self, PyObject *value, void *) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_fn(self)->kwdefaults, Py_XNewRef(value));
    return 0;
}
PyObject *get_annotations(PyObject *self, void *) {
    FunctionObject *f = as_fn(self);
    if (!f->annotations) {
        f->annotations = PyDict_New();
        if (!f->annotations) return nullptr;
    }
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject *self, PyObject *value, void *) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_fn(self)->annotations, Py_XNewRef(value));
    return 0;
}

// inspect.signature() reads this first; it is rebuilt from the current
// defaults and annotations, so assigning __defaults__ shows up as in Python.
PyObject *get_signature(PyObject *self, void *) {
    FunctionObject *f = as_fn(self);
    try {
        py::module_ inspect = py::module_::import("inspect");
        py::object Parameter = inspect.attr("Parameter");
        py::object empty = Parameter.attr("empty");
        static const char *kind_names[] = {"POSITIONAL_ONLY", "POSITIONAL_OR_KEYWORD", "VAR_POSITIONAL",
                                           "KEYWORD_ONLY", "VAR_KEYWORD"};
        const Binding &s = *f->binding;
        py::list params;
        py::handle defaults = f->defaults ? py::handle(f->defaults) : py::handle();
        Py_ssize_t n_defaults = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
        Py_ssize_t first_default = static_cast<Py_ssize_t>(s.n_positional) - n_defaults;
        py::dict ann = f->annotations ? py::reinterpret_borrow<py::dict>(f->annotations) : py::dict();
        for (size_t i = 0; i < s.params.size(); ++i) {
            const ParamSpec &p = s.params[i];
            py::handle name(p.name);
            py::object dflt = empty;
            if (p.kind == Param::PositionalOnly || p.kind == Param::Positional) {
                Py_ssize_t di = static_cast<Py_ssize_t>(i) - first_default;
                if (di >= 0 && di < n_defaults) dflt = py::reinterpret_borrow<py::object>(defaults[py::int_(di)]);
            } else if (p.kind == Param::KeywordOnly && f->kwdefaults) {
                PyObject *dv = PyDict_GetItemWithError(f->kwdefaults, p.name);
                if (dv) dflt = py::reinterpret_borrow<py::object>(dv);
                else if (PyErr_Occurred()) throw py::error_already_set();
            }
            py::object annotation = ann.contains(name) ? py::object(ann[name]) : empty;
            params.append(Parameter(name, Parameter.attr(kind_names[p.kind]), py::arg("default") = dflt,
                                    py::arg("annotation") = annotation));
        }
        py::object ret = ann.contains("return") ? py::object(ann["return"]) : py::object(inspect.attr("Signature").attr("empty"));
        return inspect.attr("Signature")(params, py::arg("return_annotation") = ret).release().ptr();
    } catch (py::error_already_set &e) {
        e.restore();
        return nullptr;
    }
}

// The module's namespace, so typing.get_type_hints() can resolve the text
// annotations as it does for a Python function.
PyObject *get_globals(PyObject *, void *) {
    try {
        return module_dict().release().ptr();
    } catch (py::error_already_set &e) {
        e.restore();
        return nullptr;
    }
}

// Pickled and copied by reference, like a Python function: by qualified name.
PyObject *function_reduce(PyObject *self, PyObject *) { return Py_NewRef(as_fn(self)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyObject *intern(const char *s) {
    PyObject *o = PyUnicode_InternFromString(s);
    if (!o) throw py::error_already_set();
    return o;
}

}  // namespace

void init_function_type() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return;
    FunctionType.tp_name = "vemra.markets.function";
    FunctionType.tp_basicsize = sizeof(FunctionObject);
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_METHOD_DESCRIPTOR;
    FunctionType.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    FunctionType.tp_call = PyVectorcall_Call;
    FunctionType.tp_dealloc = function_dealloc;
    FunctionType.tp_traverse = function_traverse;
    FunctionType.tp_clear = function_clear;
    FunctionType.tp_repr = function_repr;
    FunctionType.tp_descr_get = function_descr_get;
    FunctionType.tp_getset = function_getset;
    FunctionType.tp_methods = function_methods;
    FunctionType.tp_members = function_members;
    FunctionType.tp_dictoffset = offsetof(FunctionObject, dict);
    FunctionType.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    FunctionType.tp_doc = "A function of vemra.markets whose body is compiled.";
    if (PyType_Ready(&FunctionType) < 0) throw py::error_already_set();
}

bool is_function(py::handle obj) { return Py_TYPE(obj.ptr()) == &FunctionType; }

py::object make_function(const FuncInfo &info, Impl impl, std::vector<Param> params) {
    init_function_type();
    auto binding = std::make_unique<Binding>();
    binding->impl = impl;
    binding->needs_kwonly_wording = info.needs_kwonly_wording;
    py::list defaults;
    py::dict kwdefaults, annotations;
    bool seen_default = false;
    for (auto &p : params) {
        size_t idx = binding->params.size();
        binding->params.push_back(ParamSpec{intern(p.name), p.kind});  // owned from here on
        const ParamSpec &ps = binding->params.back();
        switch (p.kind) {
            case Param::PositionalOnly:
            case Param::Positional:
                if (binding->varargs >= 0 || binding->n_kwonly) throw std::logic_error("positional parameter after *");
                ++binding->n_positional;
                if (p.kind == Param::PositionalOnly) ++binding->n_posonly;
                if (p.default_) {
                    defaults.append(p.default_);
                    seen_default = true;
                } else if (seen_default) {
                    throw std::logic_error(std::string("non-default parameter follows default: ") + p.name);
                }
                break;
            case Param::VarArgs:
                binding->varargs = static_cast<Py_ssize_t>(idx);
                break;
            case Param::KeywordOnly:
                ++binding->n_kwonly;
                if (p.default_) kwdefaults[py::handle(ps.name)] = p.default_;
                break;
            case Param::VarKwargs:
                binding->varkw = static_cast<Py_ssize_t>(idx);
                break;
        }
        if (p.annotation) annotations[py::handle(ps.name)] = py::str(p.annotation);
    }
    if (info.returns) annotations["return"] = py::str(info.returns);

    FunctionObject *f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (!f) throw py::error_already_set();
    f->vectorcall = function_vectorcall;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->name = intern(info.name);
    f->qualname = intern(info.qualname ? info.qualname : info.name);
    f->module = nullptr;
    f->doc = nullptr;
    f->defaults = nullptr;
    f->kwdefaults = nullptr;
    f->annotations = nullptr;
    f->binding = binding.release();
    py::object result = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(f));
    f->module = PyUnicode_FromString("vemra.markets");
    if (!f->module) throw py::error_already_set();
    f->doc = info.doc ? PyUnicode_FromString(info.doc) : Py_NewRef(Py_None);
    if (!f->doc) throw py::error_already_set();
    if (defaults.size()) f->defaults = py::tuple(defaults).release().ptr();
    if (kwdefaults.size()) f->kwdefaults = kwdefaults.release().ptr();
    f->annotations = annotations.release().ptr();
    PyObject_GC_Track(reinterpret_cast<PyObject *>(f));
    return result;
}

}  // namespace vm
