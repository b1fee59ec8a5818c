// Function objects whose bodies are C++ but which behave, to their callers,
// like functions written in Python: signature, defaults bound at definition,
// keyword handling, the interpreter's own TypeError texts, method binding.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace vm {
namespace py = pybind11;

class Args;
using Impl = py::object (*)(Args &);

// One declared parameter.  A null `default_` means the parameter is required.
struct Param {
    enum Kind : unsigned char { PositionalOnly, Positional, VarArgs, KeywordOnly, VarKwargs };

    explicit Param(const char *n, Kind k = Positional) : name(n), kind(k) {}

    // Builders, so a declaration reads as one line: arg("days", 10).ann("int")
    Param &&ann(const char *text) && { annotation = text; return std::move(*this); }
    Param &&def(py::object value) && { default_ = std::move(value); return std::move(*this); }

    const char *name;
    Kind kind;
    py::object default_;
    const char *annotation = nullptr;
};

inline Param arg(const char *name) { return Param(name); }
template <class T>
inline Param arg(const char *name, T &&value) {
    return Param(name).def(py::cast(std::forward<T>(value)));
}
inline Param arg_none(const char *name) { return Param(name).def(py::none()); }
inline Param kwonly(const char *name) { return Param(name, Param::KeywordOnly); }
template <class T>
inline Param kwonly(const char *name, T &&value) {
    return Param(name, Param::KeywordOnly).def(py::cast(std::forward<T>(value)));
}
inline Param varargs(const char *name) { return Param(name, Param::VarArgs); }
inline Param varkw(const char *name) { return Param(name, Param::VarKwargs); }

// What a definition says about itself besides its parameters.
struct FuncInfo {
    const char *name;
    const char *qualname = nullptr;      // defaults to name
    const char *doc = nullptr;
    const char *returns = nullptr;       // return annotation, as text
    // A missing keyword-only argument is reported as "f() needs keyword-only
    // argument x" (the wording some callers match) instead of the
    // interpreter's "missing ... required keyword-only argument".
    bool needs_kwonly_wording = false;
};

// The bound arguments of one call, in declared parameter order.  A *args
// parameter holds a tuple, a **kwargs parameter a dict.  References are
// valid for the duration of the call only.
class Args {
public:
    py::handle operator[](size_t i) const { return py::handle(slots_[i]); }
    size_t size() const { return n_; }
    // The function object itself (for its own attributes).
    py::handle function() const { return fn_; }

private:
    friend struct FuncAccess;
    PyObject **slots_ = nullptr;
    size_t n_ = 0;
    PyObject *fn_ = nullptr;
};

// Creates a function object.  Defaults are taken now, as Python does when a
// `def` statement runs.
py::object make_function(const FuncInfo &info, Impl impl, std::vector<Param> params);

// The type of those objects (for isinstance checks in C++).
bool is_function(py::handle obj);

// Called once by the module's exec step before anything is defined.
void init_function_type();

}  // namespace vm
