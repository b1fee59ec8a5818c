// The six provider interfaces behind which every market-state source stands.
#include "body.hpp"
#include "runtime/runtime.hpp"

namespace vm {
namespace frame {

namespace {

py::object empty_operation(Args &) { return py::none(); }

// The days argument is checked before the (empty) body runs.
py::object empty_operation_days(Args &a) {
    int_arg(a[1], "days");
    return py::none();
}

struct Interface {
    const char *cls;
    const char *doc;
    const char *op;
    const char *op_doc;
    const char *returns;
    int days_default;  // 0: no days parameter
};

const Interface kInterfaces[] = {
    {"MarketIndexProvider",
     "大盘指数数据提供者\n\n"
     "get_indices() 返回 DataFrame，每行一个指数，列依次为：\n"
     "名称, 代码, 最新价, 涨跌额, 涨跌幅%, 今开, 最高, 最低, 成交额(亿), 时间",
     "get_indices", "返回指数行情表（列见类说明）。", "Any", 0},
    {"SectorProvider",
     "行业板块数据提供者\n\n"
     "get_sectors() 返回 DataFrame，按 涨跌幅% 从高到低排序，列依次为：\n"
     "板块名称, 涨跌幅%, 上涨家数, 下跌家数, 领涨股票, 领涨股票涨幅%",
     "get_sectors", "返回行业板块排行表（列见类说明）。", "Any", 0},
    {"LimitCountProvider",
     "涨跌停统计提供者\n\n"
     "get_limit_counts() 返回 {\"limit_up\": int, \"limit_down\": int}",
     "get_limit_counts", "返回涨停与跌停家数。", "dict", 0},
    {"MarginProvider",
     "两融余额数据提供者\n\n"
     "get_margin() 返回 {\"margin_balance\": float(亿) 或 None, \"margin_change_pct\": float 或 None}",
     "get_margin", "返回两融余额（亿）及其较上一交易日的变化百分比。", "dict", 0},
    {"IndexHistoryProvider",
     "指数历史行情提供者\n\n"
     "get_history(days) 返回 {指数名称: DataFrame}，每个表至少含 日期, 收盘价, 涨跌幅%, 成交额，\n"
     "数据源提供时另含 开盘, 最高, 最低。",
     "get_history", "返回最近 days 个交易日的指数历史（结构见类说明）。", "dict[str, Any]", 10},
    {"MarketBreadthProvider",
     "市场宽度数据提供者（仅 A 股）\n\n"
     "get_breadth(days) 返回 DataFrame，每个交易日一行，列为：\n"
     "日期, 上涨家数, 下跌家数, 涨停家数, 跌停家数（部分历史日期的涨跌家数可能为 None）",
     "get_breadth", "返回最近 days 个交易日的市场宽度。", "Any", 5},
};

}  // namespace

void define_provider_interfaces() {
    py::tuple bases = py::make_tuple(G("ABC"));
    for (const Interface &i : kInterfaces) {
        ClassBody body(i.cls, i.doc);
        if (i.days_default) {
            body.abstractmethod({i.op, nullptr, i.op_doc, i.returns}, empty_operation_days,
                                {arg("self"), arg("days", i.days_default).ann("int")});
        } else {
            body.abstractmethod({i.op, nullptr, i.op_doc, i.returns}, empty_operation, {arg("self")});
        }
        make_class(body, bases);
    }
}

}  // namespace frame
}  // namespace vm
