// The step to 1.14.0 on real databases: default templates and WhatsApp ids in
// the configuration pass, and the move of the incremental database's templates
// (a body of quotes, backslashes, placeholders and multi-byte text, NULL fields)
// with the re-pointing of its base configuration by name. Each pass ends in the
// state of one run whatever ran before it: a run, a failed run, a copy whose
// removal never happened.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

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

// Refuses every statement of the given kind on visitor.emailtemplate, so a pass
// fails there after its earlier statements ran; Allow takes the refusal away.
void Refuse(const vsu_test::CTestDatabase& db, const char* szEvent) {
    db.Exec(std::string("CREATE FUNCTION visitor.refuse() RETURNS trigger LANGUAGE plpgsql AS "
                        "$$BEGIN RAISE EXCEPTION 'refused for the test'; END$$; "
                        "CREATE TRIGGER refuse BEFORE ") +
            szEvent + " ON visitor.emailtemplate FOR EACH STATEMENT EXECUTE FUNCTION visitor.refuse();");
}
void Allow(const vsu_test::CTestDatabase& db) {
    db.Exec("DROP TRIGGER refuse ON visitor.emailtemplate; DROP FUNCTION visitor.refuse();");
}

// Every template without its generated id, one line each.
const char* const kTemplates =
    "SELECT string_agg(concat_ws('|', template_type, name, subject, content, createtime, updatetime, receiver, "
    "is_default, isdeleted), E'\n' ORDER BY name, template_type) FROM visitor.emailtemplate";

// The databases of one case: the upgraded one (second connection) and the
// incremental one (third), made afresh for every history a test walks.
class NotificationTemplateServer : public ::testing::Test {
protected:
    vsu_test::CScriptTree m_tree;
    C1130ToC1140 m_step;
    int m_nCode = 0;
    std::string m_strText;
    std::unique_ptr<vsu_test::CTestDatabase> m_pUpgraded, m_pIncre;
    std::unique_ptr<db_layer::CConnect> m_pUpgradedConn, m_pIncreConn;

    void SetUp() override {
        m_tree.Write("update_V1.14.0", "update.sql", kScript);
        m_tree.Write("update_V1.14.0", "init_data.sql",
                     "INSERT INTO visitor.emailtemplate (template_type, name, subject, content, is_default) VALUES "
                     "(5, 'WhatsApp review', 's', 'c', 0);\n");
    }
    void NewDatabases() {
        m_pUpgradedConn.reset();
        m_pIncreConn.reset();
        m_pUpgraded = std::make_unique<vsu_test::CTestDatabase>("upg");
        m_pIncre = std::make_unique<vsu_test::CTestDatabase>("inc");
        m_pUpgradedConn = m_pUpgraded->Connect();
        m_pIncreConn = m_pIncre->Connect();
        m_nCode = 0;
        m_strText.clear();
    }
    bool Config() {
        return m_step.UpgradeCourse_Config(m_nCode, m_strText, nullptr, m_pUpgradedConn.get(), db_layer::DBParam());
    }
    bool Incremental() {
        return m_step.UpgradeCourse_Config_IncreData(m_nCode, m_strText, nullptr, m_pUpgradedConn.get(),
                                                     m_pIncreConn.get(), db_layer::DBParam());
    }
};

// What ran on the databases before the pass whose end state is checked.
struct SHistory {
    const char* szLabel;
    std::function<void()> fnBefore;
};

TEST_F(NotificationTemplateServer, ConfigPassMarksTheBuiltInTemplatesAndWritesTheirWhatsAppIdsOnce) {
    VSU_REQUIRE_SERVER();
    const std::vector<SHistory> vecHistories = {
        {"nothing", [] {}},
        {"a run", [this] { ASSERT_TRUE(Config()) << m_strText; }},
        {"a run refused at its last statement",
         [this] {
             // The WhatsApp ids cannot be written: defaults and initial data are taken back too.
             m_pUpgraded->Exec("ALTER TABLE visitor.visit_basic_config ADD COLUMN whats_app_id_for_appoint_success "
                               "int CONSTRAINT refuse CHECK (whats_app_id_for_appoint_success <> 4)");
             ASSERT_FALSE(Config());
             EXPECT_EQ(m_pUpgraded->Scalar("SELECT count(*) FROM visitor.emailtemplate WHERE is_default = 1 OR "
                                           "name = 'WhatsApp review'"),
                       "0");
             m_pUpgraded->Exec("ALTER TABLE visitor.visit_basic_config DROP CONSTRAINT refuse");
         }},
    };
    for (const SHistory& history : vecHistories) {
        SCOPED_TRACE(history.szLabel);
        NewDatabases();
        const vsu_test::CTestDatabase& db = *m_pUpgraded;
        db.Exec(kSchema);
        db.Exec(kBuiltIn);
        history.fnBefore();
        ASSERT_TRUE(Config()) << m_strText;
        EXPECT_EQ(db.Scalar("SELECT string_agg(id::text, ',' ORDER BY id) FROM visitor.emailtemplate "
                            "WHERE is_default = 1"),
                  "1,2,3,4,5,6");
        EXPECT_EQ(db.Scalar("SELECT count(*) FROM visitor.emailtemplate WHERE name = 'WhatsApp review'"), "1");
        // The type-5 template of the initial data is no default: its id stays 0.
        EXPECT_EQ(db.Scalar(kWhatsAppIds), "4,5,0,6");
    }
}

TEST_F(NotificationTemplateServer, IncrementalPassMovesTemplatesByteForByteOnceAndRepointsByName) {
    VSU_REQUIRE_SERVER();
    const std::vector<SHistory> vecHistories = {
        {"nothing", [] {}},
        {"a run", [this] { ASSERT_TRUE(Incremental()) << m_strText; }},
        {"a copy whose removal never happened (host killed)",
         [this] {
             auto pIncre = std::make_shared<CDBAccessConn>(m_pIncreConn.get());
             auto pUpgraded = std::make_shared<CDBAccessConn>(m_pUpgradedConn.get());
             std::vector<EmailTemplateInfo> vecTemplates;
             ASSERT_TRUE(m_step.QueryAddedEmailTemplate(m_nCode, m_strText, vecTemplates, pIncre));
             ASSERT_TRUE(m_step.InsertAddedEmailTemplate(m_nCode, m_strText, vecTemplates, pUpgraded));
         }},
        {"a run refused at the removal",
         [this] {
             Refuse(*m_pIncre, "DELETE");
             ASSERT_FALSE(Incremental());
             // The copies stay; the incremental database is as before the run.
             EXPECT_EQ(m_pUpgraded->Scalar("SELECT count(*) FROM visitor.emailtemplate WHERE id > 100"), "3");
             EXPECT_EQ(m_pIncre->Scalar("SELECT count(*) FROM visitor.emailtemplate"), "4");
             EXPECT_EQ(m_pIncre->Scalar("SELECT checkin_emailtemplate_id FROM visitor.visit_basic_config"), "11");
             Allow(*m_pIncre);
         }},
    };
    std::string strFirstState;
    for (const SHistory& history : vecHistories) {
        SCOPED_TRACE(history.szLabel);
        NewDatabases();
        const vsu_test::CTestDatabase& upgraded = *m_pUpgraded;
        const vsu_test::CTestDatabase& incre = *m_pIncre;
        upgraded.Exec(kSchema);
        upgraded.Exec(kBuiltIn);
        upgraded.Exec(kScript);
        upgraded.Exec("UPDATE visitor.emailtemplate SET is_default = 1");
        incre.Exec(kSchema);
        incre.Exec(std::string("INSERT INTO visitor.emailtemplate (id, template_type, name, subject, content, "
                               "createtime, updatetime, receiver, isdeleted) VALUES "
                               "(11, 0, 'Check-in O''Brien', NULL, $body$") +
                   kBody +
                   "$body$, '2024-02-03 04:05:06.789', NULL, NULL, 0), "
                   "(12, 1, 'Front desk', 'Visit', 'Dear ${VisitorName}', '2024-05-06 07:08:09', '2024-05-06 07:08:09.5', 'desk@example.com', 0), "
                   "(13, 2, 'Old review', 's', 'c', '2024-05-06 07:08:09', '2024-05-06 07:08:09', 'x', 1), "
                   "(14, 5, 'WhatsApp review', 's', '', '2024-05-06 07:08:09', '2024-05-06 07:08:09', '', 0);"
                   "INSERT INTO visitor.visit_basic_config VALUES (12, 11, 14);");
        vsu_test::CLogCapture log;
        history.fnBefore();
        ASSERT_TRUE(Incremental()) << m_strText;

        // Every template once: one run's state, whatever ran before.
        const std::string strState = upgraded.Scalar(kTemplates);
        if (strFirstState.empty()) strFirstState = strState;
        EXPECT_EQ(strState, strFirstState);
        EXPECT_EQ(upgraded.Scalar("SELECT count(*) FROM visitor.emailtemplate"), "9");

        auto Moved = [&](const std::string& strColumn) {
            return upgraded.Scalar("SELECT " + strColumn +
                                   " FROM visitor.emailtemplate WHERE name = 'Check-in O''Brien'");
        };
        EXPECT_EQ(Moved("content"), kBody);
        EXPECT_EQ(Moved("subject"), "<NULL>");
        EXPECT_EQ(Moved("receiver"), "<NULL>");
        EXPECT_EQ(Moved("updatetime"), "<NULL>");
        EXPECT_EQ(Moved("createtime"), "2024-02-03 04:05:06.789");
        EXPECT_EQ(Moved("template_type"), "0");
        EXPECT_EQ(upgraded.Scalar("SELECT receiver || '|' || subject FROM visitor.emailtemplate "
                                  "WHERE name = 'Front desk'"),
                  "desk@example.com|Visit");
        EXPECT_EQ(upgraded.Scalar("SELECT receiver = '' FROM visitor.emailtemplate WHERE name = 'WhatsApp review' "
                                  "AND id > 100"),
                  "t");
        EXPECT_EQ(upgraded.Scalar("SELECT count(*) FROM visitor.emailtemplate WHERE name = 'Old review'"), "0");
        EXPECT_EQ(upgraded.Scalar("SELECT min(id) > 100 FROM visitor.emailtemplate WHERE id > 6"), "t");

        EXPECT_EQ(incre.Scalar("SELECT count(*) FROM visitor.emailtemplate"), "0");
        const std::string strCheckin =
            upgraded.Scalar("SELECT id FROM visitor.emailtemplate WHERE name = 'Check-in O''Brien'");
        const std::string strFrontDesk =
            upgraded.Scalar("SELECT id FROM visitor.emailtemplate WHERE name = 'Front desk'");
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
}

}  // namespace
