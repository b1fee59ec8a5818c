// The background latency probe and the clearing of TDX failure marks.
#include "body.hpp"
#include "runtime/runtime.hpp"

namespace vm {
namespace tdx {

void define_probe() {
    set_global("_LAST_GLOBAL_PROBE_TIME", py::float_(0.0));
    set_global("_GLOBAL_PROBE_LOCK", G("threading").attr("Lock")());
}

}  // namespace tdx
}  // namespace vm
