// Daily bars from the shared TDX client, and the date and time of a bar row.
#include "body.hpp"
#include "runtime/runtime.hpp"

namespace vm {
namespace quotes {

void define_tdx_daily_bars() {}

}  // namespace quotes
}  // namespace vm
