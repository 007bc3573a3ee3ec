// The module's constants, defined once: the plug-in's steps and exports take
// them from here, and the host, which cannot link the plug-in's code, includes
// this header as well. Header-only (inline constexpr), so it costs no symbol.
#pragma once

namespace UnifiedUpgradeComponent {

// Identity of the module in platform.module_version_status; the host's lock and status rows use it too.
inline constexpr const char* MODULE_IDENTITY = "visitor.s";
// The newest version the plug-in produces: the end of every chain.
inline constexpr const char* MODULE_LAST_VERSION = "1.16.0";

}  // namespace UnifiedUpgradeComponent
