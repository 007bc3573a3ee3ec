// One row of visitor.emailtemplate as the step to 1.14.0 carries it from the
// incremental database to the upgraded one: numbers as read, texts (times too)
// as the server prints them, and which texts were NULL so NULL is written back.
#pragma once
#include <array>
#include <string>

#include "db_layer/CConnect.h"

namespace UnifiedUpgradeComponent {

struct EmailTemplateInfo {
    int id = -1;
    int template_type = -1;
    std::string name;
    std::string subject;
    std::string content;
    std::string createtime;
    std::string updatetime;
    std::string receiver;

    bool name_null = false;
    bool subject_null = false;
    bool content_null = false;
    bool createtime_null = false;
    bool updatetime_null = false;
    bool receiver_null = false;

    // Reads the current row of the connection's result.
    static EmailTemplateInfo FromRow(db_layer::CConnect& conn);
    // name, subject, content, createtime, updatetime, receiver as complete SQL
    // literals, NULL where NULL was read: what the move writes, and its key.
    std::array<std::string, 6> TextLiterals() const;
};

}  // namespace UnifiedUpgradeComponent
