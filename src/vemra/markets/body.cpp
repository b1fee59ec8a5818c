#include "body.hpp"

#include "runtime/runtime.hpp"

namespace vm {

void run_module_body() {
    // Package frame.
    frame::package_imports();

    // TDX pool.
    frame::tdx_imports();
    tdx::define_daily_manager();
    tdx::define_offset();
    tdx::define_client();
    tdx::define_probe();
    tdx::define_client_getter();
    frame::process_settings();
    tdx::define_bar_shaping();

    // Index quotes, history, registry, market API and command line.
    frame::define_index_tables();
    quotes::define_tdx_daily_bars();
    frame::define_web_tables();
    frame::define_provider_interfaces();
    frame::define_kline_url();
    frame::define_cli_tables();

    // Downloads.
    frame::download_imports();

    // Constituents, indicators, sentiment.
    frame::extras_imports();
    frame::define_constituent_tables();
    frame::indicator_imports();
    frame::sentiment_imports();
    frame::define_market_type();

    set_global("__test__", py::dict());
}

}  // namespace vm
