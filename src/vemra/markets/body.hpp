// The module body: every statement that runs once at import, in source order.
#pragma once

namespace vm {

void run_module_body();

// Sections, each defined next to the code it introduces.  The body calls them
// in the order of run_module_body(); a later step may rely on the globals of
// earlier ones, never the other way round.
namespace frame {
void package_imports();             // libraries, the core names, `config`, `log`
void tdx_imports();                 // the TDX section's imports and logger levels
void process_settings();            // pandas option and the warning filters
void define_index_tables();         // A-share index lists, MarketIndex
void define_web_tables();           // US/HK lists, EastMoney headers and time-out
void define_provider_interfaces();  // the six abstract provider classes
void define_kline_url();            // EastMoney K-line endpoint address
void define_cli_tables();           // colour codes and the command line's index lists
void download_imports();            // the download sections' imports and guards
void extras_imports();              // the constituent/indicator section's imports
void define_constituent_tables();   // ShareIndices, INDICES_CONFIG, BAOSTOCK_QUERY_METHODS
void indicator_imports();           // TA-Lib's MA_Type
void sentiment_imports();           // enum again, before StockMarkType
void define_market_type();          // StockMarkType
}  // namespace frame

namespace tdx {
void define_daily_manager();   // _daily_manager, its lock, get/reset
void define_offset();          // _calc_mootdx_offset
void define_client();          // shared client globals, server info, socket close, reset
void define_probe();           // probe globals, clear_mootdx_failure_caches
void define_client_getter();   // _get_mootdx_client
void define_bar_shaping();     // ex-rights, reversion, offset steps, bar normalisation
}  // namespace tdx

namespace quotes {
void define_tdx_daily_bars();  // _mootdx_daily_ohlc, row date and time
}  // namespace quotes

}  // namespace vm
