// The module body: every statement that runs once at import, in source order.
#pragma once

namespace vm {

void run_module_body();

// Sections, each defined next to the code it introduces.  The body calls them
// in the order below; a later step may rely on the globals of earlier ones.
namespace frame {
void package_imports();       // libraries, the core names, `config`, `log`
void tdx_imports();           // the TDX section's imports and logger levels
void process_settings();      // pandas option and the warning filters
void download_imports();      // the download sections' imports and guards
void extras_imports();        // the constituent/indicator section's imports
void define_provider_interfaces();  // the six abstract provider classes
}  // namespace frame

namespace tdx {
void define_daily_manager();  // _daily_manager, its lock and helpers, offsets
void define_client();         // the shared TDX quotes client and failover
void define_probe();          // the background probe and failure-mark clearing
void define_bar_shaping();    // ex-rights, reversion, bar normalisation
}  // namespace tdx

}  // namespace vm
