// The module body's import statements and process-wide settings.  Each
// section of the original source opened with its own imports; they rebind
// the same objects, which keeps the body's order (and its failure points).
#include "body.hpp"
#include "runtime/runtime.hpp"

namespace vm {
namespace frame {

namespace {

void import_plain(std::initializer_list<const char *> names) {
    for (const char *n : names) import_as(n);
}

void set_logger_level(const char *logger, const char *level) {
    py::object logging = G("logging");
    logging.attr("getLogger")(logger).attr("setLevel")(logging.attr(level));
}

void bind_module_logger() { set_global("log", G("logging").attr("getLogger")(G("__name__"))); }

void ignore_resource_warning(const char *keyword, const char *pattern) {
    py::dict kw;
    kw[keyword] = pattern;
    kw["category"] = G("ResourceWarning");
    G("warnings").attr("filterwarnings")("ignore", **kw);
}

}  // namespace

void package_imports() {
    import_plain({"os", "sys", "logging", "json", "threading", "warnings", "re", "glob", "yaml", "typing"});
    from_import("datetime", {"datetime", "timedelta", "timezone", "date"});
    from_import("typing", {"Optional", "Any", "Union", "Dict", "List", "Tuple", "Callable", "Iterable", "Type",
                           "TypeVar", "FrozenSet"});
    from_import("abc", {"ABC", "ABCMeta", "abstractmethod"});
    from_import("enum", {"Enum"});
    import_as("pandas", "pd");
    import_as("numpy", "np");
    import_as("akshare", "ak");
    import_as("baostock", "bs");
    import_as("efinance", "ef");
    import_as("mootdx2");
    from_import("core",
                {"OHLC",
                 "DownloadProvider",
                 "Period",
                 "LONGPORT_AVAILABLE",
                 "fetch_daily_prices_json",
                 "get_logical_date",
                 "get_default_start_date",
                 "get_any_ohlc",
                 "normalize_market_end_date",
                 "is_usable_cache_csv",
                 "clean_ohlc_data",
                 "find_best_extensible_cache",
                 "generate_weekly_vemra",
                 "longport_client",
                 "tiingo_token_manager",
                 "global_pacer",
                 "is_cache_fresh",
                 "is_market_closed",
                 "data_file_path",
                 "find_cached_file_containing_range",
                 "get_data_dir",
                 "ma_string",
                 "restrict_file_permissions",
                 "ensure_parent_dir",
                 "_DIR_MODE",
                 "init_env",
                 "init_log",
                 "ensure_vemra_logging",
                 "default_ohlc_end_date",
                 "normalize_stock_code",
                 "strip_user_stock_code",
                 "validate_ohlc_download_provider",
                 "infer_ohlc_download_scope",
                 "infer_ohlc_market",
                 "csv_storage_symbol",
                 "is_cache_settled",
                 "vemra_to_json",
                 "get_date_string_v2",
                 "load_json_robust",
                 "save_json_atomic",
                 "rate_limited_provider_call",
                 "record_provider_backoff"},
                1);
    import_as("vemra.core", "config");
    bind_module_logger();
}

void tdx_imports() {
    import_plain({"glob", "os", "json", "logging", "time"});
    from_import("abc", {"ABC", "abstractmethod"});
    from_import("datetime", {"datetime", "timedelta"});
    from_import("typing", {"Optional", "Union", "Type", "TypeVar", "Any"});
    import_as("pandas", "pd");
    bind_module_logger();
    set_logger_level("tdxpy", "CRITICAL");
    set_logger_level("mootdx2", "DEBUG");
}

void process_settings() {
    G("pd").attr("options").attr("mode").attr("chained_assignment") = py::none();
    ignore_resource_warning("module", ".*tdxpy.*");
    ignore_resource_warning("message", ".*TrafficStatSocket.*");
}

void download_imports() {
    // A-share download.
    import_plain({"logging", "os", "warnings"});
    from_import("typing", {"Optional", "Callable", "Dict", "Tuple", "List", "Union"});
    from_import("enum", {"Enum"});
    from_import("datetime", {"datetime", "timedelta", "timezone"});
    import_as("json");
    import_as("baostock", "bs");
    import_as("akshare", "ak");
    ignore_resource_warning("message", ".*unclosed file.*mootdx.*config.json.*");
    from_import("mootdx2.quotes", {"Quotes"});
    from_import("mootdx2.consts", {"KLINE_DAILY", "KLINE_WEEKLY", "MARKET_SH", "MARKET_SZ"});
    import_plain({"atexit"});
    import_as("numpy", "np");
    import_as("pandas", "pd");
    bind_module_logger();
    set_global("_BS_LOGGED_IN", py::bool_(false));

    // Hong Kong download.
    import_plain({"json", "os"});
    from_import("datetime", {"datetime", "timedelta", "timezone"});
    import_as("pandas", "pd");
    import_as("numpy", "np");
    from_import("typing", {"Optional", "List", "Tuple", "Union", "Dict"});
    import_plain({"logging"});
    bind_module_logger();

    // US download: yfinance is optional, but only its absence is forgiven.
    import_plain({"os"});
    import_as("pandas", "pd");
    import_as("akshare", "ak");
    from_import("datetime", {"datetime", "timedelta", "timezone"});
    from_import("typing", {"Optional", "Callable", "Dict", "Tuple"});
    from_import("enum", {"Enum"});
    import_plain({"json", "logging"});
    try {
        import_as("yfinance", "yf");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        set_global("yf", py::none());
    }
    bind_module_logger();

    // ETF download: the TDX client names are guarded here.
    import_plain({"os", "threading", "warnings"});
    import_as("pandas", "pd");
    import_as("numpy", "np");
    from_import("typing", {"Optional", "Callable", "Dict", "Tuple", "Union", "List"});
    from_import("enum", {"Enum"});
    from_import("datetime", {"datetime", "timedelta", "timezone"});
    import_plain({"json", "logging"});
    try {
        from_import("mootdx2.quotes", {"Quotes"});
        from_import("mootdx2.consts", {"KLINE_DAILY", "KLINE_WEEKLY", "MARKET_SH", "MARKET_SZ"});
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        set_global("Quotes", py::none());
        set_global("MARKET_SH", py::int_(1));
        set_global("KLINE_DAILY", py::int_(4));
    }
    bind_module_logger();
    ignore_resource_warning("message", ".*unclosed file.*mootdx.*config.json.*");
}

void extras_imports() {
    from_import("enum", {"Enum"});
    import_as("pandas", "pd");
    import_plain({"os", "yaml"});
    from_import("typing", {"Callable", "Dict", "Tuple"});
    import_plain({"logging"});
}

void indicator_imports() {
    // Without TA-Lib the module does not import.
    from_import("talib", {"MA_Type"});
}

void sentiment_imports() { from_import("enum", {"Enum"}); }

}  // namespace frame
}  // namespace vm
