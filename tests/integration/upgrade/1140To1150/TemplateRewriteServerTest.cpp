// The step to 1.15.0 on real databases: bodies lose their placeholders byte for
// byte (quotes, backslashes, multi-byte text kept), NULL bodies stay NULL, other
// template types stay untouched, once per database; and templates added in the
// incremental database, moved by the step to 1.14.0, end rewritten in the
// upgraded one, whatever ran before.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ScriptTree.h"
#include "TestServer.h"
#include "Upgrade/1130To1140/UpgradeFunc_1140.h"
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
}

// Both databases as the chain leaves them: the upgraded one after its
// configuration passes (1.15.0 shape, own templates rewritten), the
// incremental one with templates added during the upgrade.
const char* const kChainSchema = R"SQL(
CREATE SCHEMA visitor;
CREATE TABLE visitor.emailtemplate (id serial PRIMARY KEY, template_type integer NOT NULL,
    name varchar(128) NOT NULL, subject varchar(256) NOT NULL DEFAULT '', content text NOT NULL DEFAULT '',
    createtime varchar(32), updatetime varchar(32), receiver varchar(256) NOT NULL DEFAULT '',
    isdeleted integer NOT NULL DEFAULT 0);
CREATE TABLE visitor.visit_basic_config (appoint_emailtemplate_id integer NOT NULL DEFAULT -1,
    checkin_emailtemplate_id integer NOT NULL DEFAULT -1, appoint_review_emailtemplate_id integer NOT NULL DEFAULT -1);
)SQL";
const char* const kScript1140 =
    "ALTER TABLE visitor.emailtemplate ADD COLUMN IF NOT EXISTS is_default integer NOT NULL DEFAULT 0; "
    "ALTER TABLE visitor.visit_basic_config ADD COLUMN IF NOT EXISTS whats_app_id_for_appoint_success integer, "
    "ADD COLUMN IF NOT EXISTS whats_app_id_for_appoint_fail integer, ADD COLUMN IF NOT EXISTS "
    "whats_app_id_for_appoint_review integer, ADD COLUMN IF NOT EXISTS whats_app_id_for_push_info_firstly integer;";
const char* const kScript1150 =
    "ALTER TABLE visitor.emailtemplate ADD COLUMN IF NOT EXISTS button_info varchar(64) NOT NULL DEFAULT '';";

// Fresh databases for every history a test walks.
class TemplateRewriteChain : public ::testing::Test {
protected:
    vsu_test::CScriptTree m_tree;
    C1130ToC1140 m_move;
    C1140ToC1150 m_rewrite;
    std::unique_ptr<vsu_test::CTestDatabase> m_pUpgradedDb, m_pIncreDb;
    std::unique_ptr<db_layer::CConnect> m_pUpgraded, m_pIncre;
    int m_nCode = 0;
    std::string m_strText;

    void SetUp() override {
        m_tree.Write("update_V1.14.0", "update.sql", kScript1140);
        m_tree.Write("update_V1.15.0", "update.sql", kScript1150);
    }
    void NewDatabases() {
        m_pUpgraded.reset();
        m_pIncre.reset();
        m_pUpgradedDb = std::make_unique<vsu_test::CTestDatabase>("upg");
        m_pIncreDb = std::make_unique<vsu_test::CTestDatabase>("inc");
        m_pUpgradedDb->Exec(kChainSchema);
        m_pUpgradedDb->Exec(std::string(kScript1140) + kScript1150);
        m_pUpgradedDb->Exec(
            "INSERT INTO visitor.emailtemplate (id, template_type, name, content, is_default) VALUES "
            "(1, 3, 'QR', 'A ${DynamicQrcodeUrl} B ${StaticQrcodePic} C ${DynamicQrcodeUrl}', 1), "
            "(2, 6, 'Push', 'Book ${H5URL} now ${H5URL}', 1), (3, 1, 'Appointment', 'x ${H5URL}', 1);"
            "SELECT setval('visitor.emailtemplate_id_seq', 100);");
        m_pIncreDb->Exec(kChainSchema);
        m_pIncreDb->Exec("INSERT INTO visitor.emailtemplate (id, template_type, name, content) VALUES "
                         "(11, 3, 'Added QR', 'Hi ${StaticQrcodePic}${DynamicQrcodeUrl}!'), "
                         "(12, 6, 'Added push', 'Go ${H5URL} ${H5URL}'), (13, 0, 'Added check-in', 'c ${H5URL}'), "
                         "(14, 3, 'Added plain', 'No placeholder');"
                         "INSERT INTO visitor.visit_basic_config VALUES (-1, 13, -1);");
        m_pUpgraded = m_pUpgradedDb->Connect();
        m_pIncre = m_pIncreDb->Connect();
    }
    bool Config() {
        return m_rewrite.UpgradeCourse_Config(m_nCode, m_strText, nullptr, m_pUpgraded.get(), db_layer::DBParam());
    }
    // The incremental configuration pass over the two steps, as the manager walks them.
    bool Incremental() {
        return m_move.UpgradeCourse_Config_IncreData(m_nCode, m_strText, nullptr, m_pUpgraded.get(), m_pIncre.get(),
                                                     db_layer::DBParam()) &&
               m_rewrite.UpgradeCourse_Config_IncreData(m_nCode, m_strText, nullptr, m_pUpgraded.get(),
                                                        m_pIncre.get(), db_layer::DBParam());
    }
};

// What ran on the databases before the two passes whose end state is checked.
struct SHistory {
    const char* szLabel;
    std::function<void()> fnBefore;
};

TEST_F(TemplateRewriteChain, TemplatesAddedInTheIncrementalDatabaseEndRewrittenInTheUpgradedOneOnce) {
    VSU_REQUIRE_SERVER();
    const std::vector<SHistory> vecHistories = {
        {"nothing", [] {}},
        {"both passes",
         [this] {
             ASSERT_TRUE(Config()) << m_strText;
             ASSERT_TRUE(Incremental()) << m_strText;
         }},
        {"a move whose removal never happened (host killed)",
         [this] {
             ASSERT_TRUE(Config()) << m_strText;
             auto pIncre = std::make_shared<CDBAccessConn>(m_pIncre.get());
             std::vector<EmailTemplateInfo> vecTemplates;
             ASSERT_TRUE(m_move.QueryAddedEmailTemplate(m_nCode, m_strText, vecTemplates, pIncre));
             ASSERT_TRUE(m_move.InsertAddedEmailTemplate(m_nCode, m_strText, vecTemplates,
                                                         std::make_shared<CDBAccessConn>(m_pUpgraded.get())));
         }},
        {"a rewrite of the moved templates refused after the incremental database's own work",
         [this] {
             ASSERT_TRUE(Config()) << m_strText;
             m_pUpgradedDb->Exec("ALTER TABLE visitor.emailtemplate ADD CONSTRAINT refuse "
                                 "CHECK (name <> 'Added push' OR button_info = '')");
             ASSERT_FALSE(Incremental());
             EXPECT_EQ(m_pUpgradedDb->Scalar("SELECT count(*) FROM visitor.emailtemplate WHERE button_info = ''"),
                       "5");
             EXPECT_EQ(m_pIncreDb->Scalar("SELECT count(*) FROM visitor.module_upgrade_marker"), "2");
             m_pUpgradedDb->Exec("ALTER TABLE visitor.emailtemplate DROP CONSTRAINT refuse");
         }},
    };
    for (const SHistory& history : vecHistories) {
        SCOPED_TRACE(history.szLabel);
        NewDatabases();
        history.fnBefore();
        ASSERT_TRUE(Config()) << m_strText;
        ASSERT_TRUE(Incremental()) << m_strText;
        // Moved templates of types 3 and 6 rewritten once; the upgraded database's own not again.
        EXPECT_EQ(m_pUpgradedDb->Scalar("SELECT string_agg(concat_ws('|', template_type, name, content, button_info), "
                                        "E'\n' ORDER BY name COLLATE \"C\") FROM visitor.emailtemplate"),
                  "3|Added QR|Hi !|View QR Code\n"
                  "0|Added check-in|c ${H5URL}|\n"
                  "3|Added plain|No placeholder|View QR Code\n"
                  "6|Added push|Go  ${H5URL}|Reserve\n"
                  "1|Appointment|x ${H5URL}|\n"
                  "6|Push|Book  now ${H5URL}|Reserve\n"
                  "3|QR|A  B  C ${DynamicQrcodeUrl}|View QR Code");
        EXPECT_EQ(m_pIncreDb->Scalar("SELECT count(*) FROM visitor.emailtemplate"), "0");
    }
}

}  // namespace
