// The literals that make one version step's copy of the shared step forms: its
// class name in log lines, its versions, its script folder and the narrowing
// of its status statements. Each step class holds one constant of this type.
#pragma once

namespace UnifiedUpgradeComponent {

struct SStepLiterals {
    const char* szClassName;     // "C100ToC130": names the step in log lines
    const char* szFromVersion;   // "1.0.0"
    const char* szToVersion;     // "1.3.0": also the step_ver of the finished marker
    const char* szScriptFolder;  // "update_V1.1.0" under the script root; nullptr: no script runner
    const char* szVersionNo;     // status statements narrowed to this version_no; nullptr: all rows of the module
    const char* szStepVerGap;    // blanks between step_ver and '=' in the finished marker: " " (CRawTo100: "  ")
};

}  // namespace UnifiedUpgradeComponent
