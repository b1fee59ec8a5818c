// Ex-rights normalisation, forward adjustment and TDX bar normalisation.
//
// Bar normalisation runs on every bar request, so its numeric passes work on
// float64 buffers directly; date parsing, numeric coercion of text and table
// building stay with pandas, whose behaviour the callers rely on.
#include <pybind11/numpy.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "body.hpp"
#include "runtime/runtime.hpp"

namespace vm {
namespace tdx {

namespace {

using namespace pybind11::literals;
using F64 = py::array_t<double, py::array::c_style>;

bool has_column(py::handle columns, const char *name) {
    int r = PySequence_Contains(columns.ptr(), py::str(name).ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// ------------------------------------------------------------ numeric columns

// pd.to_numeric(col, errors="coerce").fillna(0.0) as a fresh float64 array.
// Columns of a plain numeric dtype are converted by numpy (only gaps can
// occur there); anything else (text, nullable dtypes) goes through pandas.
F64 numeric_f64(py::handle pd, py::handle col) {
    py::object values;
    bool plain = false;
    if (py::isinstance(col, pd.attr("Series"))) {
        py::object dt = col.attr("dtype");
        if (py::isinstance<py::dtype>(dt)) {
            char kind = py::reinterpret_borrow<py::dtype>(dt).kind();
            plain = kind == 'f' || kind == 'i' || kind == 'u' || kind == 'b';
        }
    }
    if (plain) {
        values = col.attr("to_numpy")("dtype"_a = "float64", "copy"_a = true);
    } else {
        py::object num = pd.attr("to_numeric")(col, "errors"_a = "coerce").attr("fillna")(0.0);
        values = num.attr("to_numpy")("dtype"_a = "float64", "copy"_a = true);
    }
    F64 out = F64::ensure(values);
    if (!out) raise(PyExc_TypeError, "numeric column did not convert to float64");
    if (out.ndim() != 1) raise(PyExc_ValueError, "expected one column of numbers");
    double *p = out.mutable_data();
    for (py::ssize_t i = 0, n = out.size(); i < n; ++i) {
        if (std::isnan(p[i])) p[i] = 0.0;
    }
    return out;
}

// Rows whose turnover says the volume was counted in lots of 100 shares get
// it in shares.  Rows are addressed by position, so repeated index labels
// cannot pull in other rows.
void repair_lot_volume(F64 &volume, const F64 &amount, const F64 &close, double lo, double hi) {
    double *vol = volume.mutable_data();
    const double *amt = amount.data();
    const double *px = close.data();
    for (py::ssize_t i = 0, n = volume.size(); i < n; ++i) {
        if (!(vol[i] > 0.0 && amt[i] > 0.0 && px[i] > 0.0)) continue;
        double ratio = amt[i] / (vol[i] * px[i]);
        if (ratio >= lo && ratio <= hi) vol[i] = vol[i] * 100.0;
    }
}

// ------------------------------------------------------------------- dates

constexpr int64_t kNsPerDay = 86400LL * 1000000000LL;
constexpr int64_t kNaT = std::numeric_limits<int64_t>::min();

bool is_dt64ns(py::handle dtype) {
    return py::isinstance<py::dtype>(dtype) && py::str(dtype).equal(py::str("datetime64[ns]"));
}

// Series.dt.normalize() on naive nanosecond timestamps.  Returns null when a
// value sits so close to the lower bound that pandas should decide.
py::object normalize_ns(py::handle values) {
    py::array_t<int64_t, py::array::c_style> in =
        py::array_t<int64_t, py::array::c_style>::ensure(values.attr("view")("int64"));
    if (!in) return py::object();
    py::ssize_t n = in.size();
    py::array_t<int64_t> out(n);
    const int64_t *src = in.data();
    int64_t *dst = out.mutable_data();
    for (py::ssize_t i = 0; i < n; ++i) {
        int64_t v = src[i];
        if (v == kNaT) {
            dst[i] = kNaT;
            continue;
        }
        if (v < kNaT + 2 * kNsPerDay) return py::object();
        int64_t r = v % kNsPerDay;
        if (r < 0) r += kNsPerDay;
        dst[i] = v - r;
    }
    return out.attr("view")("datetime64[ns]");
}

int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool digits(const char *s, int from, int to, int &value) {
    value = 0;
    for (int i = from; i < to; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        value = value * 10 + (s[i] - '0');
    }
    return true;
}

// The midnight of one bar time written "YYYY-MM-DD", "YYYY-MM-DD HH:MM" or
// "YYYY-MM-DD HH:MM:SS".  False for anything else, including dates pandas
// would reject, so that pandas then parses (and reports) the column itself.
bool midnight_of(const char *s, py::ssize_t len, int64_t &ns) {
    int y, mo, d, h = 0, mi = 0, sec = 0;
    if (s[4] != '-' || s[7] != '-') return false;
    if (!digits(s, 0, 4, y) || !digits(s, 5, 7, mo) || !digits(s, 8, 10, d)) return false;
    if (len >= 16) {
        if (s[10] != ' ' || s[13] != ':' || !digits(s, 11, 13, h) || !digits(s, 14, 16, mi)) return false;
    }
    if (len == 19) {
        if (s[16] != ':' || !digits(s, 17, 19, sec)) return false;
    }
    // Well inside the nanosecond range, so no bound is ever in question.
    if (y < 1678 || y > 2261 || mo < 1 || mo > 12 || h > 23 || mi > 59 || sec > 59) return false;
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    int last = kDays[mo - 1] + (mo == 2 && leap ? 1 : 0);
    if (d < 1 || d > last) return false;
    ns = days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * kNsPerDay;
    return true;
}

// The TDX client writes bar times as text of one fixed shape; those columns
// are read here directly.  Null when the column is not of that kind.
py::object parse_bar_times(py::handle col) {
    py::object dt = col.attr("dtype");
    if (!py::isinstance<py::dtype>(dt) || py::reinterpret_borrow<py::dtype>(dt).kind() != 'O') return py::object();
    py::array values = py::array::ensure(col.attr("to_numpy")());
    if (!values) return py::object();
    py::ssize_t n = values.size();
    if (n == 0 || values.ndim() != 1) return py::object();
    py::array_t<int64_t> out(n);
    int64_t *dst = out.mutable_data();
    py::ssize_t shape = -1;
    for (py::ssize_t i = 0; i < n; ++i) {
        PyObject *item = *static_cast<PyObject *const *>(values.data(i));
        if (!PyUnicode_CheckExact(item) || !PyUnicode_IS_ASCII(item)) return py::object();
        py::ssize_t len = PyUnicode_GET_LENGTH(item);
        // Every row must share the first row's shape, as pandas infers one
        // format from the first value and holds the rest to it.
        if (shape < 0) {
            if (len != 10 && len != 16 && len != 19) return py::object();
            shape = len;
        } else if (len != shape) {
            return py::object();
        }
        const char *s = reinterpret_cast<const char *>(PyUnicode_DATA(item));
        if (!midnight_of(s, len, dst[i])) return py::object();
    }
    return out.attr("view")("datetime64[ns]");
}

// pd.to_datetime(source).dt.normalize(), as an array for the "date" column.
py::object midnight_dates(py::handle pd, py::handle source, bool is_column) {
    py::object dtype = source.attr("dtype");
    if (is_dt64ns(dtype)) {
        py::object done = normalize_ns(source.attr("to_numpy")());
        if (done) return done;
    } else if (is_column) {
        py::object done = parse_bar_times(source);
        if (done) return done;
    }
    py::object stamps = pd.attr("to_datetime")(source);
    if (is_dt64ns(stamps.attr("dtype"))) {
        py::object done = normalize_ns(stamps.attr("to_numpy")());
        if (done) return done;
    }
    if (py::isinstance(stamps, pd.attr("Series"))) return stamps.attr("dt").attr("normalize")().attr("array");
    return stamps.attr("normalize")().attr("array");
}

// ------------------------------------------------------------ definitions

// _normalize_xdxr_df(xdxr)
py::object normalize_xdxr(Args &a) {
    py::object pd = G("pd");
    py::handle xdxr = a[0];
    if (xdxr.is_none() || truthy(xdxr.attr("empty"))) return pd.attr("DataFrame")();
    py::object df = xdxr.attr("copy")();
    py::object columns = df.attr("columns");
    py::object dates;
    if (py::isinstance(df.attr("index"), pd.attr("DatetimeIndex"))) {
        df = df[df.attr("index").attr("notna")()];
    } else if (has_column(columns, "date")) {
        dates = pd.attr("to_datetime")(df["date"], "errors"_a = "coerce", "utc"_a = false);
    } else if (has_column(columns, "year") && has_column(columns, "month") && has_column(columns, "day")) {
        py::list parts;
        parts.append("year");
        parts.append("month");
        parts.append("day");
        dates = pd.attr("to_datetime")(df[parts], "errors"_a = "coerce", "utc"_a = false);
    }
    if (dates) {
        df.attr("__setitem__")("date", dates);
        // A positional mask: repeated index labels must not realign it.
        df = df[dates.attr("notna")().attr("to_numpy")()];
        df = df.attr("set_index")("date");
    }
    if (truthy(df.attr("empty"))) return df;
    // A stable sort, so that of rows sharing a date the last one delivered wins.
    df = df.attr("sort_index")("kind"_a = "mergesort");
    py::object repeated = df.attr("index").attr("duplicated")("keep"_a = "last");
    return df[repeated.attr("__invert__")()];
}

// _get_adaptive_offset_steps(initial_offset)
py::object adaptive_offset_steps(Args &a) {
    py::int_ initial = int_arg(a[0], "initial_offset");
    py::list steps;
    steps.append(initial);
    for (int smaller : {800, 300, 120}) {
        py::int_ step(smaller);
        int above = PyObject_RichCompareBool(initial.ptr(), step.ptr(), Py_GT);
        if (above < 0) throw py::error_already_set();
        if (above) steps.append(step);
    }
    return std::move(steps);
}

// _finalize_mootdx_ohlcv(data, *, volume_as_amount=False)
py::object finalize_ohlcv(Args &a) {
    py::object pd = G("pd");
    py::handle data = a[0];
    bool as_amount = truthy(a[1]);
    py::object columns = data.attr("columns");

    py::object date;
    if (has_column(columns, "date")) {
        date = midnight_dates(pd, data["date"], true);
    } else if (has_column(columns, "datetime")) {
        date = midnight_dates(pd, data["datetime"], true);
    } else {
        date = midnight_dates(pd, data.attr("index"), false);
    }

    // Index bars carry turnover where stocks carry volume.
    static const char *const kAsAmount[] = {"amount", "volume", "vol"};
    static const char *const kAsShares[] = {"volume", "vol", "amount"};
    const char *const *sources = as_amount ? kAsAmount : kAsShares;
    F64 volume;
    bool have_volume = false;
    for (int i = 0; i < 3 && !have_volume; ++i) {
        if (has_column(columns, sources[i])) {
            volume = numeric_f64(pd, data[sources[i]]);
            have_volume = true;
        }
    }
    if (have_volume && !as_amount && has_column(columns, "amount") && has_column(columns, "close")) {
        F64 amount = numeric_f64(pd, data["amount"]);
        F64 close = numeric_f64(pd, data["close"]);
        repair_lot_volume(volume, amount, close, 40.0, 250.0);
    }

    static const char *const kRequired[] = {"date", "open", "high", "low", "close", "volume"};
    py::list missing;
    for (const char *name : kRequired) {
        bool present = name[0] == 'd' ? true : name[0] == 'v' ? have_volume : has_column(columns, name);
        if (!present) missing.append(name);
    }
    if (py::len(missing)) {
        raise(PyExc_RuntimeError, "mootdx data missing required column(s): " + py::repr(missing).cast<std::string>());
    }

    py::dict out;
    out["date"] = date;
    for (const char *name : {"open", "high", "low", "close"}) out[name] = data[name].attr("_values");
    out["volume"] = volume;
    return pd.attr("DataFrame")(out, "index"_a = data.attr("index"));
}

// fetch_qfq_offline(reader, symbol)
py::object fetch_qfq_offline(Args &a) {
    require_str(a[1], "symbol");
    py::handle symbol = a[1];
    py::object reader_cls = import_name("mootdx2.reader", "Reader");
    py::object reader = py::reinterpret_borrow<py::object>(a[0]);
    if (PyUnicode_Check(reader.ptr())) reader = reader_cls.attr("factory")("market"_a = "std", "tdxdir"_a = reader);

    py::object raw = reader.attr("daily")("symbol"_a = symbol, "auto_download"_a = true);
    if (raw.is_none() || truthy(raw.attr("empty"))) return py::none();
    py::object xdxr = G("_normalize_xdxr_df")(reader.attr("xdxr")("symbol"_a = symbol));
    raw.attr("__setitem__")("code", symbol);
    py::object qfq = G("reversion")("symbol"_a = symbol, "stock_data"_a = raw, "xdxr"_a = xdxr, "type_"_a = "qfq");

    py::object pd = G("pd");
    qfq.attr("index") = pd.attr("to_datetime")(qfq.attr("index"), "utc"_a = false);
    qfq = qfq.attr("sort_index")("kind"_a = "mergesort");

    py::object columns = qfq.attr("columns");
    bool has_volume = has_column(columns, "volume");
    bool has_vol = has_column(columns, "vol");
    if (has_volume || has_vol) {
        F64 volume = numeric_f64(pd, qfq[has_volume ? "volume" : "vol"]);
        // The local reader's volume can be in lots; no upper bound here, as
        // adjusted old prices push genuine ratios well past 250.
        if (has_column(columns, "amount") && has_column(columns, "close")) {
            F64 amount = numeric_f64(pd, qfq["amount"]);
            F64 close = numeric_f64(pd, qfq["close"]);
            repair_lot_volume(volume, amount, close, 30.0, std::numeric_limits<double>::infinity());
        }
        qfq.attr("__setitem__")("volume", volume);
        if (has_vol) qfq = qfq.attr("drop")("columns"_a = "vol");
    }

    py::list keep;
    py::object kept_columns = qfq.attr("columns");
    for (const char *name : {"open", "high", "low", "close", "volume"}) {
        if (has_column(kept_columns, name)) keep.append(name);
    }
    return qfq[keep];
}

}  // namespace

void define_bar_shaping() {
    def({"_normalize_xdxr_df"}, normalize_xdxr, {arg("xdxr")});
    from_import("mootdx2.tools.reversion", {"reversion"});
    def({"_get_adaptive_offset_steps"}, adaptive_offset_steps, {arg("initial_offset")});
    def({"_finalize_mootdx_ohlcv"}, finalize_ohlcv, {arg("data"), kwonly("volume_as_amount", false)});
    def({"fetch_qfq_offline", nullptr,
         "离线前复权：从本地通达信目录（或已建好的 Reader）读取日线与除权除息数据，"
         "返回 open/high/low/close/volume 表；本地无日线时返回 None。"},
        fetch_qfq_offline, {arg("reader"), arg("symbol")});
}

}  // namespace tdx
}  // namespace vm
