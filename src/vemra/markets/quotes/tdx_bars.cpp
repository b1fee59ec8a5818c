// Daily bars from the shared TDX client, and the date and time of a bar row.
#include "body.hpp"
#include "runtime/runtime.hpp"

namespace vm {
namespace quotes {

namespace {

using namespace pybind11::literals;

// The text of a value, or the value itself when it already is text.
py::str text_of(py::handle v) {
    if (PyUnicode_Check(v.ptr())) return py::reinterpret_borrow<py::str>(v);
    return py::str(v);
}

py::str slice(py::handle s, py::ssize_t from, py::ssize_t to) {
    py::ssize_t len = PyUnicode_GET_LENGTH(s.ptr());
    if (to > len) to = len;
    if (from > to) from = to;
    PyObject *r = PyUnicode_Substring(s.ptr(), from, to);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(r);
}

// _mootdx_daily_ohlc(client, symbol, *, is_index, offset)
py::object daily_ohlc(Args &a) {
    require_str(a[1], "symbol");
    py::handle client = a[0];
    py::handle symbol = a[1];
    bool is_index = truthy(a[2]);
    py::int_ offset = int_arg(a[3], "offset");
    py::object daily = import_name("mootdx2.consts", "KLINE_DAILY");

    if (is_index) {
        return client.attr("index_bars")("symbol"_a = symbol, "frequency"_a = daily, "start"_a = 0, "offset"_a = offset);
    }
    py::object bars = client.attr("bars")("symbol"_a = symbol, "frequency"_a = daily, "start"_a = 0, "offset"_a = offset);
    if (bars.is_none() || truthy(bars.attr("empty"))) return bars;

    py::object xdxr;
    try {
        xdxr = G("_normalize_xdxr_df")(client.attr("xdxr")("symbol"_a = symbol));
    } catch (py::error_already_set &e) {
        // Without the ex-rights table the bars are adjusted against none.
        if (!is_exception(e)) throw;
        xdxr = G("pd").attr("DataFrame")();
    }
    bars.attr("__setitem__")("code", symbol);
    try {
        return G("reversion")("symbol"_a = symbol, "stock_data"_a = bars, "xdxr"_a = xdxr, "type_"_a = "qfq");
    } catch (py::error_already_set &e) {
        // Unadjusted prices would pass for adjusted ones across every
        // ex-dividend date; the caller treats None as "no data" and moves on.
        if (!is_exception(e)) throw;
        py::object err = exc_value(e);
        log_warning("mootdx qfq adjustment failed for %s: %s", py::reinterpret_borrow<py::object>(symbol), err);
        return py::none();
    }
}

// _mootdx_row_date(row)
py::object row_date(Args &a) {
    py::object dt = a[0].attr("get")("datetime");
    if (dt.is_none()) return py::str("");
    if (py::object strftime = getattr_opt(dt, "strftime")) {
        try {
            return strftime("%Y-%m-%d");
        } catch (py::error_already_set &e) {
            // NaT and friends have strftime but refuse it; try the parser.
            if (!is_exception(e)) throw;
        }
    }
    py::object pd = G("pd");
    py::object ts = pd.attr("to_datetime")(dt, "errors"_a = "coerce");
    if (truthy(pd.attr("notna")(ts))) return pd.attr("Timestamp")(ts).attr("strftime")("%Y-%m-%d");
    py::str s = text_of(dt);
    py::ssize_t len = PyUnicode_GET_LENGTH(s.ptr());
    if (len < 10) return std::move(s);
    if (PyUnicode_ReadChar(s.ptr(), 4) == '-') return slice(s, 0, 10);
    return std::move(s);
}

// _mootdx_row_time(row)
py::object row_time(Args &a) {
    py::object dt = a[0].attr("get")("datetime");
    if (dt.is_none()) return G("datetime").attr("now")().attr("strftime")("%H:%M:%S");
    py::str s = text_of(dt);
    // A bare date is a daily bar: it stands at the market close.
    if (PyUnicode_GET_LENGTH(s.ptr()) < 16) return py::str("15:00:00");
    return slice(s, 11, 16) + py::str(":00");
}

}  // namespace

void define_tdx_daily_bars() {
    FuncInfo daily{"_mootdx_daily_ohlc"};
    daily.needs_kwonly_wording = true;
    def(daily, daily_ohlc, {arg("client"), arg("symbol"), kwonly("is_index"), kwonly("offset")});
    def({"_mootdx_row_date", nullptr, nullptr, "str"}, row_date, {arg("row")});
    def({"_mootdx_row_time", nullptr, nullptr, "str"}, row_time, {arg("row")});
}

}  // namespace quotes
}  // namespace vm
