// The shared daily-data manager of the TDX library and the bar-count helpers.
#include "body.hpp"
#include "runtime/runtime.hpp"

namespace vm {
namespace tdx {

void define_daily_manager() {
    set_global("_daily_manager", py::none());
    set_global("_daily_manager_lock", G("threading").attr("RLock")());
}

}  // namespace tdx
}  // namespace vm
