// The shared daily-data manager of the TDX library.
//
// Built on first demand and handed to every caller; a host failover drops it
// so that the next request builds a fresh one.  The test of the slot and the
// build both happen under _daily_manager_lock, so two threads never build two.
#include "body.hpp"
#include "runtime/runtime.hpp"

namespace vm {
namespace tdx {

namespace {

py::object get_daily_data_manager(Args &) {
    LockGuard guard(G("_daily_manager_lock"));
    py::object current = G("_daily_manager");
    if (!current.is_none()) return current;

    py::object manager_class = import_name("mootdx2.daily", "DailyDataManager");
    // Read at each build: a changed setting applies from the next build on.
    py::object tdxdir = G("os").attr("environ").attr("get")("MOOTDX2_TDX_DIR");
    if (!truthy(tdxdir)) {
        tdxdir = import_name("vemra.offline", "TdxPathResolver").attr("resolve_tdx_dir")();
    }
    // Stored only once the constructor has returned: a failed build leaves
    // the slot empty and the next call tries again.
    set_global("_daily_manager", manager_class(py::arg("tdxdir") = tdxdir));
    return G("_daily_manager");
}

py::object reset_daily_data_manager(Args &) {
    LockGuard guard(G("_daily_manager_lock"));
    set_global("_daily_manager", py::none());
    return py::none();
}

}  // namespace

void define_daily_manager() {
    set_global("_daily_manager", py::none());
    set_global("_daily_manager_lock", G("threading").attr("RLock")());

    def({"_get_daily_data_manager", nullptr, "返回进程共享的 mootdx2 日线数据管理器，首次调用时创建。", nullptr},
        get_daily_data_manager, {});
    def({"_reset_daily_data_manager", nullptr, "丢弃共享的日线数据管理器，下次调用时重建。", "None"},
        reset_daily_data_manager, {});
}

}  // namespace tdx
}  // namespace vm
