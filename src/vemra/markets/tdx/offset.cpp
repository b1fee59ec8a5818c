// Bar-count estimates for TDX requests.
#include "body.hpp"
#include "runtime/runtime.hpp"

namespace vm {
namespace tdx {

void define_offset() {}

}  // namespace tdx
}  // namespace vm
