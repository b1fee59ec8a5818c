// Index lists, headline indices, web endpoints, command-line tables and the
// constituent-set and market-type enumerations.  All are plain module globals
// built once by the module body; providers keep the very list objects as
// their defaults, so identities below matter as much as contents.
#include "body.hpp"
#include "runtime/runtime.hpp"

namespace vm {
namespace frame {

namespace {

struct IndexRow {
    const char *code;
    int market;  // TDX market number: 1 Shanghai, 0 Shenzhen
    const char *name;
};

struct NamePair {
    const char *symbol;
    const char *name;
};

struct Member {
    const char *name;
    const char *value;
};

py::tuple index_row(const IndexRow &r) { return py::make_tuple(r.code, r.market, r.name, true); }

py::list pair_list(std::initializer_list<NamePair> rows) {
    py::list out;
    for (const NamePair &r : rows) out.append(py::make_tuple(r.symbol, r.name));
    return out;
}

// A plain Enum subclass made as a class statement would make it, so members
// keep their definition order and the class is bound under its name.
py::object make_enum(const char *name, const char *doc, std::initializer_list<Member> members) {
    ClassBody body(name, doc);
    for (const Member &m : members) body.attr(m.name, py::str(m.value));
    return make_class(body, py::make_tuple(G("Enum")));
}

py::list concat(py::handle a, py::handle b) {
    PyObject *r = PyNumber_Add(a.ptr(), b.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::list>(r);
}

const char *const kMarketIndexDoc =
    "主要指数枚举，用作 get_any_ohlc 的参数类型，涵盖 A 股、港股和美股的主要指数。\n"
    "\n"
    "用法示例::\n"
    "\n"
    "    from vemra import MarketIndex, get_any_ohlc\n"
    "\n"
    "    df = get_any_ohlc(MarketIndex.SH)       # 上证指数\n"
    "    df = get_any_ohlc(MarketIndex.HS300)    # 沪深300\n"
    "    df = get_any_ohlc(MarketIndex.SP500)    # 标普500（以 SPY 代理）\n"
    "    df = get_any_ohlc(MarketIndex.HSI)      # 恒生指数\n";

}  // namespace

void define_index_tables() {
    static const IndexRow kMain[] = {
        {"000001", 1, "上证指数"}, {"399001", 0, "深证成指"}, {"399006", 0, "创业板指"},
        {"000688", 1, "科创50"},   {"000300", 1, "沪深300"},  {"000905", 1, "中证500"},
        {"000852", 1, "中证1000"}, {"000016", 1, "上证50"},   {"000680", 1, "科创综指"},
    };
    py::list main;
    for (const IndexRow &r : kMain) main.append(index_row(r));
    set_global("MOOTDX_A_MAIN", main);
    // One list under two names: the snapshot providers and the registry use this one.
    set_global("MOOTDX_CN_ETF", main);

    // The extra rows repeat rows 5 and 6 of the main list (the very tuples).
    py::list extra;
    extra.append(main[4]);
    extra.append(main[5]);
    set_global("CN_INDICES_EXTRA", extra);
    set_global("CN_INDICES", concat(G("MOOTDX_A_MAIN"), G("CN_INDICES_EXTRA")));

    py::object market_index = make_enum("MarketIndex", kMarketIndexDoc,
                                        {{"SH", "上证指数"},
                                         {"SZ", "深证成指"},
                                         {"CYB", "创业板指"},
                                         {"KC50", "科创50"},
                                         {"KCZZ", "科创综指"},
                                         {"HS300", "沪深300"},
                                         {"ZZ500", "中证500"},
                                         {"HSI", "恒生指数"},
                                         {"HSTECH", "恒生科技指数"},
                                         {"SP500", "标普500"},
                                         {"NASDAQ", "纳斯达克"},
                                         {"DJI", "道琼斯"}});

    // The US members stand for the ETFs that track them, not the index symbols.
    static const Member kCodes[] = {
        {"SH", "sh.000001"},   {"SZ", "sz.399001"},   {"CYB", "sz.399006"},   {"KC50", "sh.000688"},
        {"KCZZ", "sh.000680"}, {"HS300", "sh.000300"}, {"ZZ500", "sh.000905"}, {"HSI", "hk.HSI"},
        {"HSTECH", "hk.HSTECH"}, {"SP500", "us.SPY"},  {"NASDAQ", "us.QQQ"},   {"DJI", "us.DIA"},
    };
    py::dict codes;
    for (const Member &c : kCodes) codes[market_index.attr(c.name)] = py::str(c.value);
    set_global("_MARKET_INDEX_CODE", codes);
}

void define_web_tables() {
    set_global("US_INDICES_YF", pair_list({{"^GSPC", "标普500"}, {"^IXIC", "纳斯达克"}, {"^DJI", "道琼斯"}}));
    set_global("US_INDICES_TX", pair_list({{"us.INX", "标普500"}, {"us.IXIC", "纳斯达克"}, {"us.DJI", "道琼斯"}}));
    set_global("US_ETF_PROXIES", pair_list({{"SPY", "标普500"}, {"QQQ", "纳斯达克"}, {"DIA", "道琼斯"}}));
    set_global("HK_INDICES", pair_list({{"HSI.HK", "恒生指数"}, {"HSTECH.HK", "恒生科技指数"}}));
    set_global("GLOBAL_INDICES", concat(G("HK_INDICES"), G("US_INDICES_YF")));

    // Where the web requests go.  The request functions read these at every
    // call (scheme and host, no trailing slash), so a deployment behind a
    // mirror, or a test against a loopback server, only rebinds them.
    set_global("_EM_QUOTE_SITE", py::str("https://quote.eastmoney.com/"));
    set_global("_EM_PUSH2_BASE_URL", py::str("https://push2.eastmoney.com"));
    set_global("_EM_PUSH2EX_BASE_URL", py::str("https://push2ex.eastmoney.com"));
    set_global("_EM_PUSH2HIS_BASE_URL", py::str("https://push2his.eastmoney.com"));
    set_global("_EM_DATACENTER_BASE_URL", py::str("https://datacenter-web.eastmoney.com"));
    set_global("_TENCENT_QUOTE_URL", py::str("https://qt.gtimg.cn/q="));

    py::dict headers;
    headers["User-Agent"] = py::str("Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7)");
    headers["Referer"] = G("_EM_QUOTE_SITE");
    set_global("_EM_HEADERS", headers);
    set_global("_EM_TIMEOUT", py::int_(15));
}

void define_kline_url() {
    set_global("_EM_KLINE_URL", G("_EM_PUSH2HIS_BASE_URL") + py::str("/api/qt/stock/kline/get"));
}

void define_cli_tables() {
    set_global("_B", py::str("\x1b[1m"));
    set_global("_R", py::str("\x1b[91m"));
    set_global("_G", py::str("\x1b[92m"));
    set_global("_Y", py::str("\x1b[93m"));
    set_global("_C", py::str("\x1b[96m"));
    set_global("_D", py::str("\x1b[2m"));
    set_global("_E", py::str("\x1b[0m"));

    py::dict indices;
    indices["cn"] = pair_list({{"sh.000001", "上证指数"},
                               {"sz.399001", "深证成指"},
                               {"sz.399006", "创业板指"},
                               {"sh.000688", "科创50"},
                               {"sh.000680", "科创综指"},
                               {"sh.000300", "沪深300"},
                               {"sh.000905", "中证500"}});
    indices["hk"] = pair_list({{"hk.HSI", "恒生指数"}, {"hk.HSTECH", "恒生科技指数"}});
    // Tencent knows the S&P 500 as us.INX, the command line as us.GSPC; the
    // other two rows are Tencent's own pairs.
    py::list tx = G("US_INDICES_TX");
    py::list usa;
    usa.append(py::make_tuple("us.GSPC", "标普500"));
    usa.append(tx[1]);
    usa.append(tx[2]);
    indices["usa"] = usa;
    set_global("CLI_MARKET_INDICES", indices);
}

void define_constituent_tables() {
    py::object share = make_enum("ShareIndices", nullptr,
                                  {{"SZ50", "上证50"},
                                   {"CSI300", "沪深300"},
                                   {"CSI500", "中证500"},
                                   {"STAR50", "科创50"},
                                   {"SZEXT50", "创业板50"},
                                   {"SZEXT", "创业板"},
                                   {"STAR", "科创综指"},
                                   {"SZMS", "上证指数"},
                                   {"SZ1000", "深证1000"},
                                   {"SZ200", "创业200"},
                                   {"SZSMALL", "中小盘"},
                                   {"SZCOMPREHENSIVE", "创业板综合指数"},
                                   {"SZ300", "创业300"},
                                   {"HKG", "港股通"}});

    // Baostock sets carry no code (their query is named below); HKG has a
    // fetch of its own.  SZ300 precedes SZCOMPREHENSIVE here, unlike the enum.
    struct Source {
        const char *member;
        const char *library;
        const char *code;  // nullptr: None
    };
    static const Source kSources[] = {
        {"SZ50", "baostock", nullptr},  {"CSI300", "baostock", nullptr}, {"CSI500", "baostock", nullptr},
        {"STAR50", "akshare", "000688"}, {"SZEXT50", "akshare", "399673"}, {"SZEXT", "akshare", "399006"},
        {"STAR", "akshare", "000680"},   {"SZMS", "akshare", "000046"},    {"SZ1000", "akshare", "399011"},
        {"SZ200", "akshare", "399019"},  {"SZSMALL", "akshare", "399401"}, {"SZ300", "akshare", "399012"},
        {"SZCOMPREHENSIVE", "akshare", "399102"}, {"HKG", "akshare", nullptr},
    };
    py::dict config;
    for (const Source &s : kSources) {
        py::object code = s.code ? py::object(py::str(s.code)) : py::object(py::none());
        config[share.attr(s.member)] = py::make_tuple(py::str(s.library), code);
    }
    set_global("INDICES_CONFIG", config);

    // Names of the baostock client's queries, looked up on the client when
    // called, after a login.
    py::dict queries;
    queries[share.attr("SZ50")] = py::str("query_sz50_stocks");
    queries[share.attr("CSI300")] = py::str("query_hs300_stocks");
    queries[share.attr("CSI500")] = py::str("query_zz500_stocks");
    set_global("BAOSTOCK_QUERY_METHODS", queries);
}

void define_market_type() { make_enum("StockMarkType", nullptr, {{"A_STOCK", "CHINA"}, {"US_STOCK", "US"}}); }

}  // namespace frame
}  // namespace vm
