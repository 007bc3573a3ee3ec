// The step from 1.14.0 to 1.15.0 against scripted connections: placeholder
// removal per template type, the one batch of quoted updates, the rewrite of
// templates moved into the upgraded database, and the failure lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakeConnect.h"
#include "LogCapture.h"
#include "ScriptTree.h"
#include "Upgrade/1140To1150/UpgradeFunc_1150.h"

using namespace UnifiedUpgradeComponent;
using vsu_test::CFakeConnect;
using vsu_test::FakeRow;

namespace {

const char* const kScript = "ALTER TABLE visitor.emailtemplate ADD COLUMN IF NOT EXISTS button_info varchar(64);";
const char* const kType3 = "SELECT * FROM visitor.EmailTemplate WHERE template_type = 3";
const char* const kType6 = "SELECT * FROM visitor.EmailTemplate WHERE template_type = 6";
const std::string kMoved3 = std::string(kType3) + " AND button_info IS DISTINCT FROM 'View QR Code'";
const std::string kMoved6 = std::string(kType6) + " AND button_info IS DISTINCT FROM 'Reserve'";

FakeRow Row(int nId, std::optional<std::string> content) {
    return {{"id", std::to_string(nId)}, {"content", std::move(content)}, {"button_info", std::nullopt}};
}
std::string Update(const std::string& strContentLiteral, const char* szButton, int nId) {
    return "UPDATE visitor.emailtemplate SET content = " + strContentLiteral + ", button_info = '" + szButton +
           "' WHERE id = " + std::to_string(nId) + "; ";
}
std::string Name(const char* szOperation) {
    return std::string("UnifiedUpgradeComponent::C1140ToC1150::") + szOperation;
}

class TemplateRewriteStep : public ::testing::Test {
protected:
    C1140ToC1150 m_step;
    vsu_test::CScriptTree m_tree;
    CFakeConnect m_first, m_second, m_third;
    int m_nCode = 0;
    std::string m_strText;
    void SetUp() override { m_tree.Write("update_V1.15.0", "update.sql", kScript); }
};

TEST_F(TemplateRewriteStep, PlaceholdersLeaveTheBodiesAndAllTemplatesAreRewrittenInOneCallTypeThreeFirst) {
    EXPECT_EQ(m_step.GetFromVersion(), CVersion("1.14.0"));
    EXPECT_EQ(m_step.GetToVersion(), CVersion("1.15.0"));
    m_second
        .OnRows(kType3, {Row(7, std::string("A${StaticQrcodePic}B${DynamicQrcodeUrl}C${DynamicQrcodeUrl}")),
                         Row(3, std::string("It's \\ \xE4\xBD\xA0\xE5\xA5\xBD ${VisitorName}")), Row(9, std::nullopt)})
        .OnRows(kType6, {Row(4, std::string("Go ${H5URL} or ${H5URL}."))});
    EXPECT_TRUE(m_step.UpgradeCourse_Config(m_nCode, m_strText, &m_first, &m_second, db_layer::DBParam()));
    const std::string strBatch = Update("'ABC${DynamicQrcodeUrl}'", "View QR Code", 7) +
                                 Update("'It''s \\ \xE4\xBD\xA0\xE5\xA5\xBD ${VisitorName}'", "View QR Code", 3) +
                                 Update("NULL", "View QR Code", 9) + Update("'Go  or ${H5URL}.'", "Reserve", 4);
    // Script and rewrite commit with the configuration mark.
    const auto& calls = m_second.calls;
    ASSERT_EQ(calls.size(), 9u);
    EXPECT_EQ(std::vector<std::string>(calls.begin() + 2, calls.begin() + 7),
              (std::vector<std::string>{"BEGIN", std::string("EXEC ") + kScript, std::string("QUERY ") + kType3,
                                        std::string("QUERY ") + kType6, "EXEC " + strBatch}));
    EXPECT_NE(calls[7].find("VALUES ('1.15.0', 'configuration'"), std::string::npos);
    EXPECT_EQ(calls[8], "COMMIT");
    EXPECT_TRUE(m_first.calls.empty());
}

TEST_F(TemplateRewriteStep, NoTemplateOfEitherTypeSendsOnlyTheTwoQueries) {
    auto pConn = std::make_shared<CDBAccessConn>(&m_second);
    EXPECT_TRUE(m_step.UpdateCourse_EmailConfig(m_nCode, m_strText, pConn));
    EXPECT_EQ(m_second.Statements(), (std::vector<std::string>{kType3, kType6}));
}

TEST_F(TemplateRewriteStep, IncrementalPassRewritesTheThirdConnectionOnceAndTheMovedTemplatesOfTheSecond) {
    vsu_test::CLogCapture log;
    m_nCode = 4;
    EXPECT_FALSE(m_step.UpgradeCourse_Config_IncreData(m_nCode, m_strText, &m_first, nullptr, &m_third,
                                                       db_layer::DBParam()));
    EXPECT_FALSE(m_step.UpgradeCourse_Config_IncreData(m_nCode, m_strText, &m_first, &m_second, nullptr,
                                                       db_layer::DBParam()));
    EXPECT_FALSE(m_step.UpgradeCourse_Config(m_nCode, m_strText, &m_first, nullptr, db_layer::DBParam()));
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(m_nCode, 4);

    m_third.OnRows(kType6, {Row(1, std::string("${H5URL}"))});
    m_second.OnRows(kMoved3, {Row(12, std::string("QR ${StaticQrcodePic}"))});
    EXPECT_TRUE(m_step.UpgradeCourse_Config_IncreData(m_nCode, m_strText, &m_first, &m_second, &m_third,
                                                      db_layer::DBParam()));
    EXPECT_EQ(m_third.StatementsContaining("emailtemplate SET"), std::vector<std::string>{Update("''", "Reserve", 1)});
    EXPECT_EQ(m_third.calls.back(), "COMMIT");
    EXPECT_EQ(m_second.Statements(),
              (std::vector<std::string>{kMoved3, kMoved6, Update("'QR '", "View QR Code", 12)}));

    // Done before on the incremental database: only the moved templates are looked at again.
    CFakeConnect second, third;
    third.OnRows("SELECT pass_part FROM", {{{"pass_part", std::string("incremental_configuration")}}}, true);
    EXPECT_TRUE(m_step.UpgradeCourse_Config_IncreData(m_nCode, m_strText, &m_first, &second, &third,
                                                      db_layer::DBParam()));
    EXPECT_EQ(third.Statements().size(), 2u);
    EXPECT_EQ(second.Statements(), (std::vector<std::string>{kMoved3, kMoved6}));
}

TEST_F(TemplateRewriteStep, EachFailureStopsThePassWithItsLines) {
    const std::string strUpdate = Update("'x'", "Reserve", 2);
    struct SCase {
        const char* szLabel;
        bool bIncremental;
        bool bOnSecond;  // in the incremental pass: the failing statement goes to the second connection
        std::string strFailing;
        std::vector<std::string> vecErrors;
    };
    const std::vector<SCase> vecCases = {
        {"script", false, false, kScript,
         {"[" + Name("UpgradeCourse_Config_UpgradeBySQLFile") + "][ExecuteHelper] ExecuteTransaction failed,sql:[" +
              kScript + "], Error Code:6, Error Info:bad.",
          "[" + Name("UpgradeCourse_Config") +
              "]UpgradeCourse_Config_UpgradeBySQLFile failed, Error Code:6, Error Info:bad."}},
        {"incremental script", true, false, kScript,
         {"[" + Name("UpgradeCourse_Config_UpgradeBySQLFile") + "][ExecuteHelper] ExecuteTransaction failed,sql:[" +
              kScript + "], Error Code:6, Error Info:bad.",
          "[" + Name("UpgradeCourse_Config_IncreData") +
              "]UpgradeCourse_Config_UpgradeBySQLFile failed, Error Code:6, Error Info:bad."}},
        {"type 3", false, false, kType3, {"[" + Name("UpdateCourse_EmailConfig") + "]C1140ToC1150 is fail sql = " + kType3}},
        {"type 6", true, false, kType6, {"[" + Name("UpdateCourse_EmailConfig") + "]C1140ToC1150 is fail sql = " + kType6}},
        {"update", false, false, strUpdate,
         {"[" + Name("UpdateCourse_EmailConfig") + "]C1140ToC1150 is fail sql = " + strUpdate}},
        {"moved type 6", true, true, kMoved6,
         {"[" + Name("UpdateMovedEmailTemplates") + "]C1140ToC1150 is fail sql = " + kMoved6}},
    };
    for (const SCase& c : vecCases) {
        SCOPED_TRACE(c.szLabel);
        CFakeConnect conn, other;
        conn.OnFail(c.strFailing, 6, "bad").OnRows(kType6, {Row(2, std::string("x"))});
        vsu_test::CLogCapture log;
        int nCode = 0;
        std::string strText;
        CFakeConnect* pSecond = c.bOnSecond ? &conn : &other;
        CFakeConnect* pThird = c.bOnSecond ? &other : &conn;
        EXPECT_FALSE(c.bIncremental ? m_step.UpgradeCourse_Config_IncreData(nCode, strText, &m_first, pSecond,
                                                                            pThird, db_layer::DBParam())
                                    : m_step.UpgradeCourse_Config(nCode, strText, &m_first, &conn,
                                                                  db_layer::DBParam()));
        // The bracketed work of the failed pass is taken back; the rewrite of moved templates has none.
        if (!c.bOnSecond) {
            EXPECT_EQ(conn.calls.back(), "ROLLBACK");
        }
        EXPECT_EQ(nCode, 6);
        EXPECT_EQ(strText, "bad");
        EXPECT_EQ(conn.Statements().back(), c.strFailing);
        const auto lines = log.Lines();
        ASSERT_EQ(lines.size(), 1 + c.vecErrors.size());
        EXPECT_EQ(lines[0].nLevel, 4);
        for (size_t i = 0; i < c.vecErrors.size(); ++i) {
            EXPECT_EQ(lines[i + 1].nLevel, 5);
            EXPECT_EQ(vsu_test::WithoutPosition(lines[i + 1].strMessage), c.vecErrors[i]);
        }
    }
}

TEST_F(TemplateRewriteStep, RecordsPassMarksTheVersionEvenWhenTheMarkerFails) {
    const std::string strMarker =
        "UPDATE platform.module_version_status SET achieve_time = clock_timestamp(), status = 1, schedule = -1, "
        "rate_progress = -1, step_ver = '1.15.0' WHERE module_identity = 'visitor.s';";
    m_second.OnFail(strMarker, 42, "no status table");
    EXPECT_TRUE(m_step.UpgradeCourse_Records(m_nCode, m_strText, &m_first, &m_second, db_layer::DBParam()));
    EXPECT_EQ(m_second.Statements(), std::vector<std::string>{strMarker});
    EXPECT_EQ(m_nCode, 42);
    EXPECT_TRUE(m_step.UpgradeCourse_Records_IncreData(m_nCode, m_strText, nullptr, nullptr, nullptr,
                                                       db_layer::DBParam()));
}

}  // namespace
