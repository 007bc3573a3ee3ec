// One notification template as the step to 1.15.0 rewrites it: the body with its
// placeholders already removed, the button text to store, and whether the body
// was NULL (then it stays NULL). Lives only during one rewrite.
#pragma once
#include <string>

namespace UnifiedUpgradeComponent {

struct EmailTemplateContent {
    int id = -1;
    std::string content;
    std::string button_info;
    bool content_null = false;
};

}  // namespace UnifiedUpgradeComponent
