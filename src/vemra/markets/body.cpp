#include "body.hpp"

#include "runtime/runtime.hpp"

namespace vm {

void run_module_body() {
    // Section 1: package frame.
    frame::package_imports();

    // Section 2: TDX pool.
    frame::tdx_imports();
    tdx::define_daily_manager();
    tdx::define_client();
    tdx::define_probe();
    frame::process_settings();
    tdx::define_bar_shaping();

    // Section 3: market data.
    frame::define_provider_interfaces();

    // Section 4 to 8: downloads, constituents, indicators.
    frame::download_imports();
    frame::extras_imports();

    set_global("__test__", py::dict());
}

}  // namespace vm
