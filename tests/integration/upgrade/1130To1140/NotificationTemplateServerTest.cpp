// The step to 1.14.0 on real databases: default templates and WhatsApp ids in
// the configuration pass, and the move of the incremental database's templates
// (a body of quotes, backslashes, placeholders and multi-byte text, NULL fields)
// with the re-pointing of its base configuration by name.
#include <gtest/gtest.h>

#include <string>

#include "LogCapture.h"
#include "ScriptTree.h"
#include "TestServer.h"
#include "Upgrade/1130To1140/UpgradeFunc_1140.h"
#include "db_layer/ErrorCodes.h"

using namespace UnifiedUpgradeComponent;

namespace {

const char* const kSchema = R"SQL(
CREATE SCHEMA visitor;
CREATE TABLE visitor.emailtemplate (id serial PRIMARY KEY, template_type int, name varchar(128),
    subject varchar(256), content text, createtime timestamp, updatetime timestamp, receiver text,
    is_default int DEFAULT 0, isdeleted int DEFAULT 0);
CREATE TABLE visitor.visit_basic_config (appoint_emailtemplate_id int, checkin_emailtemplate_id int,
    appoint_review_emailtemplate_id int);
)SQL";
// The step's own script brings the WhatsApp columns.
const char* const kScript =
    "ALTER TABLE visitor.visit_basic_config ADD COLUMN IF NOT EXISTS whats_app_id_for_appoint_success int, "
    "ADD COLUMN IF NOT EXISTS whats_app_id_for_appoint_fail int, ADD COLUMN IF NOT EXISTS "
    "whats_app_id_for_appoint_review int, ADD COLUMN IF NOT EXISTS whats_app_id_for_push_info_firstly int;";
const char* const kBuiltIn = R"SQL(
INSERT INTO visitor.emailtemplate (id, template_type, name, subject, content) VALUES
    (1, 0, 'Check-in', 's', 'c'), (2, 1, 'Appointment', 's', 'c'), (3, 2, 'Review', 's', 'c'),
    (4, 3, 'WhatsApp success', 's', 'c'), (5, 4, 'WhatsApp fail', 's', 'c'), (6, 6, 'WhatsApp push', 's', 'c');
SELECT setval('visitor.emailtemplate_id_seq', 100);
INSERT INTO visitor.visit_basic_config VALUES (2, 1, 3);
)SQL";
const char* const kWhatsAppIds =
    "SELECT concat_ws(',', whats_app_id_for_appoint_success, whats_app_id_for_appoint_fail, "
    "whats_app_id_for_appoint_review, whats_app_id_for_push_info_firstly) FROM visitor.visit_basic_config";

const std::string kBody = "Dear O'Brien, \"welcome\" \\ C:\\visits\\ ${VisitorName} at ${VisitTime}\n"
                          "\xE8\xAE\xBF\xE5\xAE\xA2\xE9\x80\x9A\xE7\x9F\xA5 \xE2\x9C\x93 '' end";

class NotificationTemplateServer : public ::testing::Test {
protected:
    vsu_test::CScriptTree m_tree;
    C1130ToC1140 m_step;
    int m_nCode = 0;
    std::string m_strText;
    void SetUp() override {
        m_tree.Write("update_V1.14.0", "update.sql", kScript);
        m_tree.Write("update_V1.14.0", "init_data.sql",
                     "INSERT INTO visitor.emailtemplate (template_type, name, subject, content, is_default) VALUES "
                     "(5, 'WhatsApp review', 's', 'c', 0);\n");
    }
};

TEST_F(NotificationTemplateServer, ConfigPassMarksTheBuiltInTemplatesAndWritesTheirWhatsAppIds) {
    VSU_REQUIRE_SERVER();
    vsu_test::CTestDatabase db;
    db.Exec(kSchema);
    db.Exec(kBuiltIn);
    auto pConn = db.Connect();
    ASSERT_TRUE(m_step.UpgradeCourse_Config(m_nCode, m_strText, nullptr, pConn.get(), db_layer::DBParam()))
        << m_strText;
    EXPECT_EQ(db.Scalar("SELECT string_agg(id::text, ',' ORDER BY id) FROM visitor.emailtemplate WHERE is_default = 1"),
              "1,2,3,4,5,6");
    EXPECT_EQ(db.Scalar("SELECT count(*) FROM visitor.emailtemplate WHERE name = 'WhatsApp review'"), "1");
    // The type-5 template of the initial data is no default: its id stays 0.
    EXPECT_EQ(db.Scalar(kWhatsAppIds), "4,5,0,6");
}

TEST_F(NotificationTemplateServer, IncrementalPassMovesTemplatesByteForByteAndRepointsByName) {
    VSU_REQUIRE_SERVER();
    vsu_test::CTestDatabase upgraded("upg");
    vsu_test::CTestDatabase incre("inc");
    upgraded.Exec(kSchema);
    upgraded.Exec(kBuiltIn);
    upgraded.Exec(kScript);
    upgraded.Exec("UPDATE visitor.emailtemplate SET is_default = 1");
    incre.Exec(kSchema);
    incre.Exec(std::string("INSERT INTO visitor.emailtemplate (id, template_type, name, subject, content, createtime, "
                           "updatetime, receiver, isdeleted) VALUES "
                           "(11, 0, 'Check-in O''Brien', NULL, $body$") +
               kBody +
               "$body$, '2024-02-03 04:05:06.789', NULL, NULL, 0), "
               "(12, 1, 'Front desk', 'Visit', 'Dear ${VisitorName}', now(), now(), 'desk@example.com', 0), "
               "(13, 2, 'Old review', 's', 'c', now(), now(), 'x', 1), "
               "(14, 5, 'WhatsApp review', 's', '', now(), now(), '', 0);"
               "INSERT INTO visitor.visit_basic_config VALUES (12, 11, 14);");
    auto pUpgraded = upgraded.Connect();
    auto pIncre = incre.Connect();
    vsu_test::CLogCapture log;
    ASSERT_TRUE(m_step.UpgradeCourse_Config_IncreData(m_nCode, m_strText, nullptr, pUpgraded.get(), pIncre.get(),
                                                      db_layer::DBParam()))
        << m_strText;

    auto Moved = [&](const std::string& strColumn) {
        return upgraded.Scalar("SELECT " + strColumn + " FROM visitor.emailtemplate WHERE name = 'Check-in O''Brien'");
    };
    EXPECT_EQ(Moved("content"), kBody);
    EXPECT_EQ(Moved("subject"), "<NULL>");
    EXPECT_EQ(Moved("receiver"), "<NULL>");
    EXPECT_EQ(Moved("updatetime"), "<NULL>");
    EXPECT_EQ(Moved("createtime"), "2024-02-03 04:05:06.789");
    EXPECT_EQ(Moved("template_type"), "0");
    EXPECT_EQ(upgraded.Scalar("SELECT receiver || '|' || subject FROM visitor.emailtemplate WHERE name = 'Front desk'"),
              "desk@example.com|Visit");
    EXPECT_EQ(upgraded.Scalar("SELECT receiver = '' FROM visitor.emailtemplate WHERE name = 'WhatsApp review'"), "t");
    EXPECT_EQ(upgraded.Scalar("SELECT count(*) FROM visitor.emailtemplate WHERE name = 'Old review'"), "0");
    EXPECT_EQ(upgraded.Scalar("SELECT min(id) > 100 FROM visitor.emailtemplate WHERE id > 6"), "t");

    EXPECT_EQ(incre.Scalar("SELECT count(*) FROM visitor.emailtemplate"), "0");
    const std::string strCheckin =
        upgraded.Scalar("SELECT id FROM visitor.emailtemplate WHERE name = 'Check-in O''Brien'");
    const std::string strFrontDesk = upgraded.Scalar("SELECT id FROM visitor.emailtemplate WHERE name = 'Front desk'");
    EXPECT_EQ(incre.Scalar("SELECT checkin_emailtemplate_id FROM visitor.visit_basic_config"), strCheckin);
    EXPECT_EQ(incre.Scalar("SELECT appoint_emailtemplate_id FROM visitor.visit_basic_config"), strFrontDesk);
    // The review reference names a type-5 template: no column for it, so its
    // empty statement went out, failed in the database layer and changed nothing.
    EXPECT_EQ(incre.Scalar("SELECT appoint_review_emailtemplate_id FROM visitor.visit_basic_config"), "14");
    EXPECT_EQ(m_nCode, db_layer::ErrorCode::kEmptyStatement);
    EXPECT_TRUE(log.Contains("::AdjustBaseConfig::RepointTemplateReference][ExecuteHelper] ExecuteTransaction "
                             "failed,sql:[], Error Code:-3"));
    // The incremental database's WhatsApp ids are the upgraded database's defaults.
    EXPECT_EQ(incre.Scalar(kWhatsAppIds), "4,5,0,6");
}

}  // namespace
