// The background latency probe and the clearing of TDX failure marks.
#include "body.hpp"
#include "runtime/runtime.hpp"

namespace vm {
namespace tdx {

namespace {

// The download managers' failure caches that may carry a mark of the TDX source.
const char *const kFailureCacheFiles[] = {"astock_download_failure_cache.json", "etf_download_failure_cache.json"};

// Removes the "mootdx" key from one failure cache, leaving every other record
// as it was.  The managers rewrite the same file, so the read-modify-write
// runs under their shared lock; otherwise a record they store between our
// load and our save would be lost.
void clear_mark(py::handle target) {
    LockGuard guard(G("_FAILURE_CACHE_LOCK"));
    py::object data = G("load_json_robust")(target);
    if (!PyDict_Check(data.ptr())) return;
    py::str key("mootdx");
    const int has = PySequence_Contains(data.ptr(), key.ptr());
    if (has < 0) throw py::error_already_set();
    if (!has) return;
    if (PyObject_DelItem(data.ptr(), key.ptr()) < 0) throw py::error_already_set();
    G("save_json_atomic")(target, data);
    G("restrict_file_permissions")(target);
    log_info("已解除 %s 中的 mootdx 故障熔断标记", target);
}

py::object clear_mootdx_failure_caches(Args &a) {
    py::object os = G("os");
    py::object path = os.attr("path");

    // Every place a manager may have written its caches: the caller's choice,
    // the central data folder, the data directory, the service defaults and
    // "/tmp", where the data directory falls back when nothing else is usable.
    py::object values[] = {
        py::reinterpret_borrow<py::object>(a[0]),
        os.attr("getenv")("VEMRA_CENTER"),
        G("get_data_dir")(),
        py::str("/var/lib/vemra/data"),
        py::str("/var/lib/vemra"),
        py::str("/tmp"),
    };
    py::list candidate_dirs;
    for (const py::object &v : values) {
        if (truthy(v) && truthy(path.attr("exists")(v))) candidate_dirs.append(v);
    }

    // One folder reached under several names is cleared once, under its first name.
    py::set seen_dirs;
    for (py::handle base_dir : candidate_dirs) {
        py::object real_dir = path.attr("realpath")(base_dir);
        if (seen_dirs.contains(real_dir)) continue;
        seen_dirs.add(real_dir);
        for (const char *name : kFailureCacheFiles) {
            py::object target = path.attr("join")(base_dir, name);
            if (!truthy(path.attr("exists")(target))) continue;
            try {
                clear_mark(target);
            } catch (py::error_already_set &e) {
                if (!is_exception(e)) throw;
                log_warning("清理 %s 的 mootdx 故障记录异常: %s", target, exc_value(e));
            }
        }
    }
    return py::none();
}

}  // namespace

void define_probe() {
    set_global("_LAST_GLOBAL_PROBE_TIME", py::float_(0.0));
    set_global("_GLOBAL_PROBE_LOCK", G("threading").attr("Lock")());
    // Held around every read-modify-write of a download failure cache, by the
    // clearing below and by the download managers.
    set_global("_FAILURE_CACHE_LOCK", G("threading").attr("RLock")());

    def({"clear_mootdx_failure_caches", nullptr,
         "解除 A 股与 ETF 下载失败缓存中的 mootdx 故障熔断标记（仅删除 \"mootdx\" 键，其余记录保持不变）。", "None"},
        clear_mootdx_failure_caches, {arg_none("cache_dir").ann("Optional[str]")});
}

}  // namespace tdx
}  // namespace vm
