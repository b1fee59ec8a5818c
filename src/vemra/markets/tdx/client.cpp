// The one shared TDX quotes client of the process.
#include "body.hpp"
#include "runtime/runtime.hpp"

namespace vm {
namespace tdx {

void define_client() {
    set_global("_mootdx_std_client", py::none());
    set_global("_mootdx_std_client_lock", G("threading").attr("RLock")());
    set_global("_client_created_at", py::float_(0.0));
    set_global("_client_last_used_at", py::float_(0.0));
    set_global("_MOOTDX_MAX_LIFETIME", py::float_(900.0));
    set_global("_MOOTDX_IDLE_HEARTBEAT", py::float_(45.0));
}

void define_client_getter() {}

}  // namespace tdx
}  // namespace vm
