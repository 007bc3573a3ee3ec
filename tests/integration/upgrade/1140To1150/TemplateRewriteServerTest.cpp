// The step to 1.15.0 on a real database: bodies lose their placeholders byte for
// byte (quotes, backslashes, multi-byte text kept), NULL bodies stay NULL, other
// template types stay untouched, and a second run removes the next occurrence.
#include <gtest/gtest.h>

#include <string>

#include "ScriptTree.h"
#include "TestServer.h"
#include "Upgrade/1140To1150/UpgradeFunc_1150.h"

using namespace UnifiedUpgradeComponent;

namespace {

const char* const kSchema = R"SQL(
CREATE SCHEMA visitor;
CREATE TABLE visitor.emailtemplate (id serial PRIMARY KEY, template_type int, name varchar(128), content text);
)SQL";
const char* const kScript = "ALTER TABLE visitor.emailtemplate ADD COLUMN IF NOT EXISTS button_info varchar(64);";

const std::string kQrBody = "It's \"your\" pass \\ ${DynamicQrcodeUrl}\xE4\xBD\xA0\xE5\xA5\xBD${StaticQrcodePic}${VisitorName}";

std::string Column(const vsu_test::CTestDatabase& db, const char* szColumn, int nId) {
    return db.Scalar(std::string("SELECT ") + szColumn + " FROM visitor.emailtemplate WHERE id = " +
                     std::to_string(nId));
}

TEST(TemplateRewriteServer, RewritesBothTypesExactlyAndLeavesTheRestAlone) {
    VSU_REQUIRE_SERVER();
    vsu_test::CTestDatabase db;
    db.Exec(kSchema);
    db.Exec(std::string("INSERT INTO visitor.emailtemplate (id, template_type, name, content) VALUES "
                        "(1, 3, 'QR', $b$") +
            kQrBody +
            "$b$), (2, 3, 'Empty', NULL), (3, 6, 'Push', 'Book ${H5URL} now ${H5URL}'), "
            "(4, 1, 'Appointment', 'Link ${H5URL} ${DynamicQrcodeUrl}');");
    vsu_test::CScriptTree tree;
    tree.Write("update_V1.15.0", "update.sql", kScript);
    auto pConn = db.Connect();
    C1140ToC1150 step;
    int nCode = 0;
    std::string strText;
    ASSERT_TRUE(step.UpgradeCourse_Config(nCode, strText, nullptr, pConn.get(), db_layer::DBParam())) << strText;

    EXPECT_EQ(Column(db, "content", 1), "It's \"your\" pass \\ \xE4\xBD\xA0\xE5\xA5\xBD${VisitorName}");
    EXPECT_EQ(Column(db, "button_info", 1), "View QR Code");
    EXPECT_EQ(Column(db, "content", 2), "<NULL>");
    EXPECT_EQ(Column(db, "button_info", 2), "View QR Code");
    EXPECT_EQ(Column(db, "content", 3), "Book  now ${H5URL}");
    EXPECT_EQ(Column(db, "button_info", 3), "Reserve");
    EXPECT_EQ(Column(db, "content", 4), "Link ${H5URL} ${DynamicQrcodeUrl}");
    EXPECT_EQ(Column(db, "button_info", 4), "<NULL>");

    // The incremental pass on the same database: the next occurrence goes, buttons stay.
    ASSERT_TRUE(step.UpgradeCourse_Config_IncreData(nCode, strText, nullptr, pConn.get(), pConn.get(),
                                                    db_layer::DBParam()))
        << strText;
    EXPECT_EQ(Column(db, "content", 3), "Book  now ");
    EXPECT_EQ(Column(db, "button_info", 3), "Reserve");
    EXPECT_EQ(Column(db, "content", 1), "It's \"your\" pass \\ \xE4\xBD\xA0\xE5\xA5\xBD${VisitorName}");
}

}  // namespace
