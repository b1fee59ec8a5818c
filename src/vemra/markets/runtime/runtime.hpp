// Helpers every section of the module uses: module globals read at call
// time, definitions, imports with the module body's semantics, argument
// checks, printf-style logging, exception re-raising and lock guards.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "runtime/pyfunc.hpp"

namespace vm {
namespace py = pybind11;

// ---------------------------------------------------------------- globals

// The module's dictionary.  Valid once the exec step has started.
py::dict module_dict();
void set_module(PyObject *module);
void clear_module();

// A module global, looked up at every call (then the builtins), so callers
// and tests that replace `vemra.markets.<name>` are seen.  NameError if absent.
py::object G(const char *name);
py::object G(py::handle name);
// Same, but an absent name gives a null object instead of NameError.
py::object G_opt(const char *name);
void set_global(const char *name, py::handle value);

// --------------------------------------------------------------- definitions

// Defines a module-level function and binds it under its name.
py::object def(const FuncInfo &info, Impl impl, std::vector<Param> params);

// A class body: members are kept in definition order.
struct ClassBody {
    explicit ClassBody(const char *name, const char *doc = nullptr) : name(name), doc(doc) {}
    ClassBody &attr(const char *key, py::object value) {
        members.emplace_back(key, std::move(value));
        return *this;
    }
    // A method: the qualname is "Class.method" and it binds like a Python method.
    ClassBody &method(const FuncInfo &info, Impl impl, std::vector<Param> params);
    ClassBody &staticmethod(const FuncInfo &info, Impl impl, std::vector<Param> params);
    ClassBody &abstractmethod(const FuncInfo &info, Impl impl, std::vector<Param> params);
    std::string qualify(const char *member) const { return std::string(name) + "." + member; }

    const char *name;
    const char *doc;
    std::vector<std::pair<std::string, py::object>> members;
    std::vector<std::string> qualnames;  // keeps method qualname text alive
};

// Creates a class as a `class` statement would: the metaclass is derived from
// the bases (abc.ABCMeta, enum.EnumMeta, the core's OHLC metaclass...), its
// __prepare__ namespace is filled in order, and the class is bound globally
// unless `bind` is false.
py::object make_class(const ClassBody &body, py::tuple bases, bool bind = true);

// ------------------------------------------------------------------ imports

// `import a.b` binds `a`; `import a.b as c` binds the submodule as `c`.
py::object import_module(const char *dotted);
void import_as(const char *dotted, const char *as = nullptr);
// `from mod import n1, n2`, binding each name.  level > 0 is a relative import
// from the module's package.  A missing name is taken from an already loaded
// submodule, else ImportError "cannot import name <name>".
void from_import(const char *module, std::initializer_list<const char *> names, int level = 0);
void from_import_as(const char *module, const char *name, const char *as, int level = 0);
// `from module import name` inside a function body: the value, with the same
// ImportError as the body's imports when the name is missing.
py::object import_name(const char *module, const char *name);

// -------------------------------------------------------------- attributes

// getattr(obj, name, None) and hasattr(obj, name) as Python has them: only a
// missing attribute counts as absent, any other error raised by the lookup
// propagates.  A null object from getattr_opt means absent.
py::object getattr_opt(py::handle obj, const char *name);
py::object getattr_or_none(py::handle obj, const char *name);
bool hasattr_strict(py::handle obj, const char *name);

// bool(obj), raising what __bool__ raises.
bool truthy(py::handle obj);

// ------------------------------------------------------------ argument checks

// TypeError "Argument 'x' has incorrect type (expected str, got int)".
[[noreturn]] void raise_arg_type(const char *arg, const char *expected, py::handle got);
void require_exact(py::handle value, PyTypeObject *type, const char *arg, const char *expected,
                   bool allow_none = false);
inline void require_str(py::handle v, const char *arg, bool allow_none = false) {
    require_exact(v, &PyUnicode_Type, arg, "str", allow_none);
}
inline void require_tuple(py::handle v, const char *arg, bool allow_none = false) {
    require_exact(v, &PyTuple_Type, arg, "tuple", allow_none);
}
inline void require_list(py::handle v, const char *arg, bool allow_none = false) {
    require_exact(v, &PyList_Type, arg, "list", allow_none);
}
// An integer argument: an exact int is used as given, any other number goes
// through int() (5.9 gives 5, True gives 1), anything else is a TypeError.
py::int_ int_arg(py::handle value, const char *arg);
long long int_arg_ll(py::handle value, const char *arg);

// --------------------------------------------------------------- exceptions

// Sets a Python exception and throws it to the nearest boundary.
[[noreturn]] void raise(PyObject *type, const std::string &message);
[[noreturn]] void raise(PyObject *type, py::handle message);
// Raises `exc_type(message)` with __context__ set to `context`, as a raise
// inside an except block does.
[[noreturn]] void raise_with_context(PyObject *type, py::handle message, py::error_already_set &context);
// `raise exc_type(message) from cause`.
[[noreturn]] void raise_from(PyObject *type, py::handle message, py::error_already_set &cause);
// True when the pending error belongs to the Exception family (not
// KeyboardInterrupt, SystemExit, GeneratorExit).
bool is_exception(const py::error_already_set &e);
// The exception instance carried by `e` (a new reference).
py::object exc_value(const py::error_already_set &e);

// ------------------------------------------------------------------ logging

// log.<level>(fmt, *args) on the module global `log`, looked up at call time;
// the format and the arguments are passed apart, as printf-style logging wants.
template <class... A>
void log_at(const char *level, const char *fmt, A &&...args) {
    G("log").attr(level)(py::str(fmt), std::forward<A>(args)...);
}
template <class... A>
void log_debug(const char *fmt, A &&...args) { log_at("debug", fmt, std::forward<A>(args)...); }
template <class... A>
void log_info(const char *fmt, A &&...args) { log_at("info", fmt, std::forward<A>(args)...); }
template <class... A>
void log_warning(const char *fmt, A &&...args) { log_at("warning", fmt, std::forward<A>(args)...); }
template <class... A>
void log_error(const char *fmt, A &&...args) { log_at("error", fmt, std::forward<A>(args)...); }

// -------------------------------------------------------------------- locks

// Holds a Python lock (threading.Lock/RLock) for a scope.  Acquiring goes
// through the lock's own method, which releases the GIL while it waits; the
// release also runs while an error is propagating.
class LockGuard {
public:
    explicit LockGuard(py::handle lock);
    ~LockGuard();
    LockGuard(const LockGuard &) = delete;
    LockGuard &operator=(const LockGuard &) = delete;

private:
    py::object lock_;
};

// ----------------------------------------------------------------- numbers

// Python's round(x, n) for floats (correctly rounded, halves to even).
double py_round(double x, int ndigits);

}  // namespace vm
