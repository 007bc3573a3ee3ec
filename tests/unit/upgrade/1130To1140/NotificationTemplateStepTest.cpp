// The step from 1.13.0 to 1.14.0 against scripted connections: the texts of the
// default-template set-up, the move of the incremental database's templates with
// every text quoted (NULL kept) and its look for copies made before, the
// re-pointing by name, the transaction each pass's work runs in, and the failure lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakeConnect.h"
#include "LogCapture.h"
#include "ScriptTree.h"
#include "Upgrade/1130To1140/UpgradeFunc_1140.h"

using namespace UnifiedUpgradeComponent;
using vsu_test::CFakeConnect;
using vsu_test::FakeRow;

namespace {

const char* const kScript = "ALTER TABLE visitor.emailtemplate ADD COLUMN IF NOT EXISTS is_default int DEFAULT 0;";
const char* const kInitData = "INSERT INTO visitor.emailtemplate(id, name) VALUES (1, 'Welcome');";
const char* const kMarkDefaults = "UPDATE visitor.emailtemplate SET is_default = 1 WHERE id IN(1,2,3,4,5,6);";
const char* const kDefaults =
    "SELECT id, template_type FROM visitor.emailtemplate WHERE is_default = 1 AND template_type IN(3,4,5,6);";
const char* const kLive = "SELECT * FROM visitor.emailtemplate WHERE isdeleted = 0;";
const char* const kClear = "DELETE FROM visitor.emailtemplate;";
const char* const kBaseConfig = "SELECT * FROM visitor.visit_basic_config;";

std::string WhatsApp(int n3, int n4, int n5, int n6) {
    return "UPDATE visitor.visit_basic_config SET whats_app_id_for_appoint_success = " + std::to_string(n3) +
           ",whats_app_id_for_appoint_fail = " + std::to_string(n4) +
           ",whats_app_id_for_appoint_review = " + std::to_string(n5) +
           ",whats_app_id_for_push_info_firstly = " + std::to_string(n6) + ";";
}
std::string Lookup(const std::string& strNameLiteral) {
    return "SELECT id FROM visitor.emailtemplate WHERE name=" + strNameLiteral + ";";
}
FakeRow Default(int nId, int nType) {
    return {{"id", std::to_string(nId)}, {"template_type", std::to_string(nType)}};
}
FakeRow Template(int nId, int nType, std::optional<std::string> name, std::optional<std::string> receiver) {
    return {{"id", std::to_string(nId)},
            {"template_type", std::to_string(nType)},
            {"name", std::move(name)},
            {"subject", std::string("Visit")},
            {"content", std::string("Hello ${VisitorName}")},
            {"createtime", std::string("2024-01-02 03:04:05")},
            {"updatetime", std::string("2024-01-02 03:04:05.5")},
            {"receiver", std::move(receiver)},
            {"is_default", std::string("0")},
            {"isdeleted", std::string("0")}};
}
FakeRow BaseConfig(int nAppoint, int nCheckin, int nReview) {
    return {{"appoint_emailtemplate_id", std::to_string(nAppoint)},
            {"checkin_emailtemplate_id", std::to_string(nCheckin)},
            {"appoint_review_emailtemplate_id", std::to_string(nReview)}};
}
std::string Insert(int nType, const std::string& strName, const std::string& strReceiver) {
    return "INSERT INTO visitor.emailtemplate(template_type, name, subject,content,createtime,updatetime,receiver)"
           "VALUES(" +
           std::to_string(nType) + "," + strName +
           ",'Visit','Hello ${VisitorName}','2024-01-02 03:04:05','2024-01-02 03:04:05.5'," + strReceiver + ");";
}
// The look for copies an interrupted move left, one member per template.
std::string Copied(int nId, int nType, const std::string& strName, const std::string& strReceiver) {
    return "SELECT " + std::to_string(nId) +
           " AS id WHERE EXISTS (SELECT 1 FROM visitor.emailtemplate WHERE template_type = " + std::to_string(nType) +
           " AND name IS NOT DISTINCT FROM " + strName +
           " AND subject IS NOT DISTINCT FROM 'Visit' AND content IS NOT DISTINCT FROM 'Hello ${VisitorName}' AND "
           "createtime IS NOT DISTINCT FROM '2024-01-02 03:04:05' AND updatetime IS NOT DISTINCT FROM '2024-01-02 "
           "03:04:05.5' AND receiver IS NOT DISTINCT FROM " +
           strReceiver + ")";
}
// A pass's statements without those of the mark table, and whether they ran
// between BEGIN and the COMMIT that also writes the mark of szPart.
std::vector<std::string> Work(const CFakeConnect& conn) {
    std::vector<std::string> vecOut;
    for (const std::string& strSql : conn.Statements())
        if (strSql.find("visitor.module_upgrade_marker") == std::string::npos) vecOut.push_back(strSql);
    return vecOut;
}
bool Bracketed(const CFakeConnect& conn, const std::string& strPart) {
    const auto& calls = conn.calls;
    return calls.size() >= 5 && calls[2] == "BEGIN" && calls.back() == "COMMIT" &&
           calls[calls.size() - 2].find("VALUES ('1.14.0', '" + strPart + "'") != std::string::npos;
}
std::string Name(const char* szOperation) {
    return std::string("UnifiedUpgradeComponent::C1130ToC1140::") + szOperation;
}

class NotificationTemplateStep : public ::testing::Test {
protected:
    C1130ToC1140 m_step;
    vsu_test::CScriptTree m_tree;
    CFakeConnect m_first, m_upgraded, m_incre;
    int m_nCode = 0;
    std::string m_strText;
    void SetUp() override {
        m_tree.Write("update_V1.14.0", "update.sql", kScript);
        m_tree.Write("update_V1.14.0", "init_data.sql", std::string(kInitData) + "\n");
    }
    bool Incremental() {
        return m_step.UpgradeCourse_Config_IncreData(m_nCode, m_strText, &m_first, &m_upgraded, &m_incre,
                                                     db_layer::DBParam());
    }
};

TEST_F(NotificationTemplateStep, ConfigPassMarksDefaultsLoadsDataAndWritesTheLastDefaultOfEachWhatsAppType) {
    EXPECT_EQ(m_step.GetFromVersion(), CVersion("1.13.0"));
    EXPECT_EQ(m_step.GetToVersion(), CVersion("1.14.0"));
    // Two defaults of type 3: the later row wins; no default of type 5 gives 0.
    m_upgraded.OnRows(kDefaults, {Default(11, 3), Default(14, 4), Default(13, 3), Default(16, 6)});
    EXPECT_TRUE(m_step.UpgradeCourse_Config(m_nCode, m_strText, &m_first, &m_upgraded, db_layer::DBParam()));
    EXPECT_EQ(Work(m_upgraded),
              (std::vector<std::string>{kScript, kMarkDefaults, kInitData, kDefaults, WhatsApp(13, 14, 0, 16)}));
    EXPECT_TRUE(Bracketed(m_upgraded, "configuration"));
    EXPECT_TRUE(m_first.calls.empty());

    vsu_test::CLogCapture log;
    EXPECT_FALSE(m_step.UpgradeCourse_Config(m_nCode, m_strText, &m_first, nullptr, db_layer::DBParam()));
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(NotificationTemplateStep, IncrementalPassMovesLiveTemplatesQuotedAndRepointsByName) {
    const std::string strOdd = "Tom's \\n ${Name} \xE8\xAE\xBF\xE5\xAE\xA2";  // quote, backslash, placeholder, UTF-8
    const std::string strOddLiteral = "'Tom''s \\n ${Name} \xE8\xAE\xBF\xE5\xAE\xA2'";
    m_incre.OnRows(kLive, {Template(2, 0, strOdd, std::nullopt), Template(5, 1, std::string("Appoint"),
                                                                           std::string("host@example.com"))})
        .OnRows(kBaseConfig, {BaseConfig(-1, -1, -1), BaseConfig(5, 2, 77)});
    m_upgraded.OnRows(Lookup(strOddLiteral), {{{"id", std::string("40")}}})
        .OnRows(Lookup("'Appoint'"), {{{"id", std::string("41")}}, {{"id", std::string("42")}}})
        .OnRows(kDefaults, {Default(3, 3), Default(4, 4), Default(5, 5), Default(6, 6)});
    EXPECT_TRUE(Incremental());

    const std::string strCopied = Copied(2, 0, strOddLiteral, "NULL") + " UNION ALL " +
                                  Copied(5, 1, "'Appoint'", "'host@example.com'") + ";";
    const std::string strInserts = Insert(0, strOddLiteral, "NULL") + Insert(1, "'Appoint'", "'host@example.com'");
    EXPECT_EQ(m_upgraded.Statements(), (std::vector<std::string>{strCopied, strInserts, Lookup(strOddLiteral),
                                                                  Lookup("'Appoint'"), kDefaults}));
    // Check-in first, then appointment; the review reference (77) is no live template and stays.
    EXPECT_EQ(Work(m_incre), (std::vector<std::string>{kScript, kLive, kClear, kBaseConfig,
                                                        "UPDATE visitor.visit_basic_config SET checkin_emailtemplate_id=40;",
                                                        "UPDATE visitor.visit_basic_config SET appoint_emailtemplate_id=42;",
                                                        WhatsApp(3, 4, 5, 6)}));
    EXPECT_TRUE(Bracketed(m_incre, "incremental_configuration"));
    EXPECT_EQ(m_nCode, 0);
}

TEST_F(NotificationTemplateStep, RepointingWritesMinusOneForUnknownNamesAndStillSendsTheEmptyTextOfOtherTypes) {
    // The review reference points at a type-5 template: no column for it, the empty text goes out anyway.
    // A NULL name is looked up as NULL and so finds nothing.
    m_incre.OnRows(kLive, {Template(2, 0, std::string("Gone"), std::string("a")),
                           Template(5, 1, std::nullopt, std::string("b")), Template(8, 5, std::string("WA"), std::nullopt)})
        .OnRows(kBaseConfig, {BaseConfig(5, 2, 8)})
        .OnFail("", 1, "empty query");
    m_upgraded.OnFail(Lookup("'Gone'"), 31, "lookup failed");
    vsu_test::CLogCapture log;
    EXPECT_TRUE(Incremental());
    EXPECT_EQ(m_upgraded.StatementsContaining("SELECT id FROM visitor.emailtemplate WHERE name="),
              (std::vector<std::string>{Lookup("'Gone'"), Lookup("NULL"), Lookup("'WA'")}));
    const std::vector<std::string> vecIncre = Work(m_incre);
    ASSERT_EQ(vecIncre.size(), 7u);
    EXPECT_EQ(vecIncre[4], "UPDATE visitor.visit_basic_config SET appoint_emailtemplate_id=-1;");
    EXPECT_EQ(vecIncre[5], "");
    // Both failures are logged under the re-pointing function and the last one stays in the fields.
    const auto vecErrors = log.Messages(5);
    ASSERT_EQ(vecErrors.size(), 2u);
    EXPECT_EQ(vsu_test::WithoutPosition(vecErrors[0]), "[" + Name("AdjustBaseConfig::RepointTemplateReference") +
                                      "]C1130ToC1140::AdjustBaseConfig failed! error code:[31],error info:[lookup "
                                      "failed],sql:[" + Lookup("'Gone'") + "]");
    EXPECT_EQ(vsu_test::WithoutPosition(vecErrors[1]), "[" + Name("AdjustBaseConfig::RepointTemplateReference") +
                                      "][ExecuteHelper] ExecuteTransaction failed,sql:[], Error Code:1, Error "
                                      "Info:empty query.");
    EXPECT_EQ(m_nCode, 1);
    EXPECT_EQ(m_strText, "empty query");
}

TEST_F(NotificationTemplateStep, IncrementalPassInsertsOnlyWhatIsNotCopiedYetAndRepointsNothingWithoutBaseConfig) {
    EXPECT_TRUE(Incremental());
    EXPECT_EQ(Work(m_incre), (std::vector<std::string>{kScript, kLive, kClear, WhatsApp(0, 0, 0, 0)}));
    EXPECT_EQ(m_upgraded.Statements(), std::vector<std::string>{kDefaults});

    // Template 3 was copied by a run that stopped before the removal: only 4 goes in.
    CFakeConnect upgraded, incre;
    incre.OnRows(kLive, {Template(3, 0, std::string("A"), std::string("r")),
                         Template(4, 1, std::string("B"), std::string("r"))});
    upgraded.OnRows("AS id WHERE EXISTS", {{{"id", std::string("3")}}}, true);
    vsu_test::CLogCapture log;
    EXPECT_TRUE(m_step.UpgradeCourse_Config_IncreData(m_nCode, m_strText, &m_first, &upgraded, &incre,
                                                      db_layer::DBParam()));
    EXPECT_EQ(upgraded.StatementsContaining("INSERT"), std::vector<std::string>{Insert(1, "'B'", "'r'")});
    EXPECT_TRUE(log.Contains("1 of 2 templates are in the upgraded database already, not inserted again."));
    // No base configuration row: the references are not touched.
    EXPECT_EQ(Work(incre), (std::vector<std::string>{kScript, kLive, kClear, kBaseConfig, WhatsApp(0, 0, 0, 0)}));
}

struct SFailureCase {
    const char* szLabel;
    bool bIncremental;
    bool bOnUpgraded;     // which connection the failing statement goes to
    std::string strFailing;
    std::vector<std::string> vecErrors;  // level-5 messages without position
};

TEST_F(NotificationTemplateStep, EachFailedOperationStopsItsPassWithItsOwnLineAndThePassLine) {
    const std::string strConfig = "[" + Name("UpgradeCourse_Config") + "]";
    const std::string strIncre = "[" + Name("UpgradeCourse_Config_IncreData") + "]";
    const std::string strTail = " failed, Error Code:8, Error Info:broken.";
    auto Failed = [](const char* szOperation, const std::string& strSql) {
        return "[" + Name(szOperation) + "]C1130ToC1140::" + szOperation +
               " failed! error code:[8],error info:[broken],sql:[" + strSql + "]";
    };
    auto Transaction = [](const char* szOperation, const std::string& strSql) {
        return "[" + Name(szOperation) + "][ExecuteHelper] ExecuteTransaction failed,sql:[" + strSql +
               "], Error Code:8, Error Info:broken.";
    };
    const std::string strInsert = Insert(0, "'A'", "'r'");
    const std::vector<SFailureCase> vecCases = {
        {"script", false, true, kScript,
         {Transaction("UpgradeCourse_Config_UpgradeBySQLFile", kScript),
          strConfig + "UpgradeCourse_Config_UpgradeBySQLFile" + strTail}},
        {"defaults", false, true, kMarkDefaults,
         {Failed("UpdateReceiveTemplate", kMarkDefaults), strConfig + "UpdateReceiveTemplate" + strTail}},
        {"init data", false, true, kInitData,
         {Transaction("InitialDataToReceiveTemplate", kInitData), strConfig + "InitialDataToReceiveTemplate" + strTail}},
        {"whatsapp query", false, true, kDefaults,
         {Failed("SetWhatsAppTemplateToBaseConfig", kDefaults), strConfig + "SetWhatsAppTemplateToBaseConfig" + strTail}},
        {"whatsapp update", false, true, WhatsApp(0, 0, 0, 0),
         {Failed("SetWhatsAppTemplateToBaseConfig", WhatsApp(0, 0, 0, 0)),
          strConfig + "SetWhatsAppTemplateToBaseConfig" + strTail}},
        {"incremental script", true, false, kScript,
         {Transaction("UpgradeCourse_Config_UpgradeBySQLFile", kScript),
          strIncre + "UpgradeCourse_Config_UpgradeBySQLFile" + strTail}},
        {"live templates", true, false, kLive,
         {Failed("QueryAddedEmailTemplate", kLive), strIncre + "QueryAddedEmailTemplate" + strTail}},
        {"copies", true, true, "AS id WHERE EXISTS",
         {Failed("InsertAddedEmailTemplate", Copied(2, 0, "'A'", "'r'") + ";"),
          strIncre + "InsertAddedEmailTemplate" + strTail}},
        {"insert", true, true, "INSERT INTO visitor.emailtemplate",
         {Transaction("InsertAddedEmailTemplate", strInsert), strIncre + "InsertAddedEmailTemplate" + strTail}},
        {"clear", true, false, kClear,
         {Transaction("ClearAddedEmailTemplateOfIncre", kClear), strIncre + "ClearAddedEmailTemplateOfIncre" + strTail}},
        {"base config", true, false, kBaseConfig,
         {Failed("AdjustBaseConfig", kBaseConfig), strIncre + "AdjustBaseConfig" + strTail}},
        {"incremental whatsapp query", true, true, kDefaults,
         {Failed("AdjustBaseConfig", kDefaults), strIncre + "AdjustBaseConfig" + strTail}},
        {"incremental whatsapp update", true, false, WhatsApp(0, 0, 0, 0),
         {Failed("AdjustBaseConfig", WhatsApp(0, 0, 0, 0)), strIncre + "AdjustBaseConfig" + strTail}},
    };
    for (const SFailureCase& c : vecCases) {
        SCOPED_TRACE(c.szLabel);
        CFakeConnect upgraded, incre;
        // The failure is scripted first: the first matching script wins.
        (c.bOnUpgraded ? upgraded : incre).OnFail(c.strFailing, 8, "broken", true);
        incre.OnRows(kLive, {Template(2, 0, std::string("A"), std::string("r"))});
        vsu_test::CLogCapture log;
        int nCode = 0;
        std::string strText;
        const bool bOk = c.bIncremental ? m_step.UpgradeCourse_Config_IncreData(nCode, strText, &m_first, &upgraded,
                                                                                &incre, db_layer::DBParam())
                                        : m_step.UpgradeCourse_Config(nCode, strText, &m_first, &upgraded,
                                                                      db_layer::DBParam());
        EXPECT_FALSE(bOk);
        EXPECT_EQ(nCode, 8);
        EXPECT_EQ(strText, "broken");
        const auto lines = log.Lines();
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[0].nLevel, 4);
        EXPECT_EQ(vsu_test::WithoutPosition(lines[1].strMessage), c.vecErrors[0]);
        EXPECT_EQ(vsu_test::WithoutPosition(lines[2].strMessage), c.vecErrors[1]);
        EXPECT_EQ(lines[2].nLevel, 5);
        // Nothing follows the failing statement on either connection.
        const auto& failing = c.bOnUpgraded ? upgraded : incre;
        EXPECT_NE(failing.Statements().back().find(c.strFailing), std::string::npos);
        // The pass's own database takes its work back: the mark is not written.
        EXPECT_EQ((c.bIncremental ? incre : upgraded).calls.back(), "ROLLBACK");
    }
}

}  // namespace
