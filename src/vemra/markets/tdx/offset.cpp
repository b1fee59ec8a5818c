// Bar-count estimates for TDX requests.
#include <algorithm>

#include "body.hpp"
#include "runtime/runtime.hpp"

namespace vm {
namespace tdx {

namespace {

constexpr long long kMaxOffset = 8000;  // the most bars one request may ask for
constexpr long long kMarginBars = 60;   // headroom for holidays and suspensions

// _calc_mootdx_offset(start_date, default_offset=800)
py::object calc_offset(Args &a) {
    py::int_ fallback = int_arg(a[1], "default_offset");
    if (!truthy(a[0])) return std::move(fallback);
    try {
        py::object pd = G("pd");
        py::object span = pd.attr("Timestamp").attr("now")() - pd.attr("to_datetime")(a[0]);
        // About 250 trading days in 365 calendar days; Python's true division
        // and int() truncation, so odd values (NaT, arrays) fail as they would there.
        py::object days = span.attr("days");
        py::object est = days * py::int_(250) / py::int_(365);
        PyObject *whole = PyNumber_Long(est.ptr());
        if (!whole) throw py::error_already_set();
        long long n = PyLong_AsLongLong(whole);
        Py_DECREF(whole);
        if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
        n = std::min(n + kMarginBars, kMaxOffset);
        py::int_ capped(n);
        // The caller's default wins over the cap: max(min(n, 8000), default).
        int above = PyObject_RichCompareBool(capped.ptr(), fallback.ptr(), Py_GT);
        if (above < 0) throw py::error_already_set();
        return above ? py::object(capped) : py::object(fallback);
    } catch (py::error_already_set &e) {
        // Any date that cannot be measured simply means "ask for the default".
        if (!is_exception(e)) throw;
        return std::move(fallback);
    }
}

}  // namespace

void define_offset() {
    def({"_calc_mootdx_offset"}, calc_offset, {arg("start_date"), arg("default_offset", 800)});
}

}  // namespace tdx
}  // namespace vm
