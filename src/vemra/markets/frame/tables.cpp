// Index lists, headline indices and EastMoney request settings.
#include "body.hpp"
#include "runtime/runtime.hpp"

namespace vm {
namespace frame {

void define_index_tables() {}
void define_web_tables() {}
void define_kline_url() {}
void define_cli_tables() {}
void define_constituent_tables() {}
void define_market_type() {}

}  // namespace frame
}  // namespace vm
