// Ex-rights normalisation, forward adjustment and TDX bar normalisation.
#include "body.hpp"
#include "runtime/runtime.hpp"

namespace vm {
namespace tdx {

void define_bar_shaping() {
    from_import("mootdx2.tools.reversion", {"reversion"});
}

}  // namespace tdx
}  // namespace vm
