// The one shared TDX quotes client of the process.
//
// Every caller gets the same client from _get_mootdx_client(); the getter
// keeps it healthy on the way out: past its lifetime it is closed and rebuilt,
// after an idle spell it is tested with one cheap request first.  The slot and
// both time stamps change only under _mootdx_std_client_lock, which stays held
// across that request and the connect of a new client, so concurrent callers
// never build two clients.
#include <cmath>

#include "body.hpp"
#include "runtime/runtime.hpp"

namespace vm {
namespace tdx {

namespace {

double as_double(py::handle value) {
    double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return d;
}

double now_from(py::handle time_module) { return as_double(time_module.attr("time")()); }

// "host:port" for a (host, port) tuple or list, else a null object.
py::object host_port_text(py::handle pair) {
    if (!PyTuple_Check(pair.ptr()) && !PyList_Check(pair.ptr())) return py::object();
    if (py::len(pair) < 2) return py::object();
    py::object host = pair[py::int_(0)];
    py::object port = pair[py::int_(1)];
    PyObject *text = PyUnicode_FromFormat("%S:%S", host.ptr(), port.ptr());
    if (!text) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(text);
}

// VEMRA_MOOTDX_TIMEOUT in seconds.  Zero would put the sockets in
// non-blocking mode and a negative or non-finite value only fails later,
// deep in the socket layer, so those are refused here with the same error as
// a text that is no number at all.
py::float_ timeout_from_env(py::handle environ) {
    py::object raw = environ.attr("get")("VEMRA_MOOTDX_TIMEOUT", "3");
    auto refuse = [&](py::error_already_set *cause) {
        PyObject *msg = PyUnicode_FromFormat(
            "VEMRA_MOOTDX_TIMEOUT must be a positive number of seconds, got %R", raw.ptr());
        if (!msg) throw py::error_already_set();
        py::object text = py::reinterpret_steal<py::object>(msg);
        if (cause) raise_with_context(PyExc_ValueError, text, *cause);
        raise(PyExc_ValueError, text);
    };
    py::float_ seconds;
    try {
        seconds = py::float_(raw);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError)) throw;
        refuse(&e);
    }
    double v = as_double(seconds);
    if (!std::isfinite(v) || v <= 0.0) refuse(nullptr);
    return seconds;
}

// ------------------------------------------------------------- operations

py::object get_mootdx_server_info(Args &a) {
    py::handle client = a[0];
    if (client.is_none()) return py::str("unknown");
    py::object text = host_port_text(getattr_or_none(client, "server"));
    if (text) return text;
    py::object manager = getattr_or_none(client, "manager");
    if (!manager.is_none()) {
        text = host_port_text(getattr_or_none(manager, "current"));
        if (text) return text;
    }
    return py::str("unknown");
}

// Best effort, innermost handle first.  The first failure ends the attempt:
// whatever failed has left the connection in a state no later step repairs.
py::object close_mootdx_socket(Args &a) {
    py::handle client = a[0];
    if (client.is_none()) return py::none();
    try {
        py::object api = getattr_or_none(client, "client");
        if (!api.is_none()) {
            py::object sock_client = getattr_or_none(api, "client");
            if (!sock_client.is_none() && hasattr_strict(sock_client, "close")) sock_client.attr("close")();
            py::object sock = py::none();
            if (!sock_client.is_none()) {
                sock = getattr_or_none(sock_client, "sock");
                if (!truthy(sock)) {
                    sock = getattr_or_none(sock_client, "_sock");
                }
            }
            if (!sock.is_none() && hasattr_strict(sock, "close")) sock.attr("close")();
            if (hasattr_strict(api, "disconnect")) api.attr("disconnect")();
        }
        if (hasattr_strict(client, "close")) client.attr("close")();
    } catch (py::error_already_set &e) {
        if (!is_exception(e)) throw;
    }
    return py::none();
}

py::object reset_mootdx_client(Args &) {
    LockGuard guard(G("_mootdx_std_client_lock"));
    py::object client = G("_mootdx_std_client");
    if (!client.is_none()) {
        try {
            G("_close_mootdx_socket")(client);
        } catch (py::error_already_set &e) {
            if (!is_exception(e)) throw;
            log_debug("_reset_mootdx_client 关闭旧连接异常: %s", exc_value(e));
        }
        set_global("_mootdx_std_client", py::none());
    }
    set_global("_client_created_at", py::float_(0.0));
    set_global("_client_last_used_at", py::float_(0.0));
    return py::none();
}

py::object get_mootdx_client(Args &) {
    py::object time = import_module("time");
    LockGuard guard(G("_mootdx_std_client_lock"));
    const double now = now_from(time);

    if (!G("_mootdx_std_client").is_none()) {
        const double created = as_double(G("_client_created_at"));
        const double lifetime = as_double(G("_MOOTDX_MAX_LIFETIME"));
        if (created > 0 && now - created > lifetime) {
            log_debug("mootdx 连接已达到最大生命周期 (%.1fs > %.1fs)，平滑重建连接", now - created, lifetime);
            G("_reset_mootdx_client")();
        }
    }

    // Tested only after the lifetime check, so a client dropped there is not
    // pinged first.
    py::object client = G("_mootdx_std_client");
    if (!client.is_none()) {
        const double last_used = as_double(G("_client_last_used_at"));
        const double idle_limit = as_double(G("_MOOTDX_IDLE_HEARTBEAT"));
        if (last_used > 0 && now - last_used > idle_limit) {
            try {
                py::object api = getattr_or_none(client, "client");
                if (!api.is_none() && hasattr_strict(api, "get_security_count")) api.attr("get_security_count")(0);
            } catch (py::error_already_set &e) {
                if (!is_exception(e)) throw;
                log_debug("mootdx 闲置连接心跳探活失败 (%s)，平滑重建连接", exc_value(e));
                G("_reset_mootdx_client")();
            }
        }
    }

    if (G("_mootdx_std_client").is_none()) {
        py::object quotes = import_name("mootdx2.quotes", "Quotes");
        py::object environ = G("os").attr("environ");
        py::object driver = environ.attr("get")("VEMRA_MOOTDX_DRIVER", "native");
        py::float_ timeout = timeout_from_env(environ);
        py::object built = quotes.attr("factory")(py::arg("market") = "std", py::arg("driver") = driver,
                                                  py::arg("timeout") = timeout);
        set_global("_mootdx_std_client", built);
        set_global("_client_created_at", py::float_(now_from(time)));
    }
    set_global("_client_last_used_at", py::float_(now_from(time)));
    return G("_mootdx_std_client");
}

}  // namespace

void define_client() {
    set_global("_mootdx_std_client", py::none());
    set_global("_mootdx_std_client_lock", G("threading").attr("RLock")());
    set_global("_client_created_at", py::float_(0.0));
    set_global("_client_last_used_at", py::float_(0.0));
    set_global("_MOOTDX_MAX_LIFETIME", py::float_(900.0));
    set_global("_MOOTDX_IDLE_HEARTBEAT", py::float_(45.0));

    def({"_get_mootdx_server_info", nullptr, "当前行情主站 \"host:port\"，未知时为 \"unknown\"。", "str"},
        get_mootdx_server_info, {arg("client")});
    def({"_close_mootdx_socket", nullptr, "尽力关闭客户端的各层连接句柄，从不抛出普通异常。", "None"},
        close_mootdx_socket, {arg("client")});
    def({"_reset_mootdx_client", nullptr, "关闭并丢弃共享的 mootdx 客户端，清零时间戳。", "None"},
        reset_mootdx_client, {});
}

void define_client_getter() {
    def({"_get_mootdx_client", nullptr,
         "返回进程共享的 mootdx 标准行情客户端：按需创建，超过最大生命周期重建，闲置过久先心跳探活。", nullptr},
        get_mootdx_client, {});
}

}  // namespace tdx
}  // namespace vm
