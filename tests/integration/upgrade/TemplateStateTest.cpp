// The notification template steps (to 1.14.0 and 1.15.0) on reference
// databases at 1.13.0 with the delivered scripts: start state -> the
// configuration passes of both steps on the upgraded database, then their
// incremental passes with the incremental database -> end state (templates
// with their rewrite and defaults, WhatsApp ids, where the incremental base
// configuration points). Whatever ran before, the end is that of one run.
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "ReferenceDatabase.h"
#include "Upgrade/1130To1140/UpgradeFunc_1140.h"
#include "Upgrade/1140To1150/UpgradeFunc_1150.h"

using namespace UnifiedUpgradeComponent;
using vsu_test::CTestDatabase;

namespace {

const char* const kBuiltIn =
    "INSERT INTO visitor.emailtemplate (id, template_type, name, content) VALUES (1, 0, 'Check-in', 'c'),"
    " (2, 1, 'Appointment', 'x ${H5URL}'), (3, 2, 'Review', 'r'), (4, 3, 'QR', 'A ${DynamicQrcodeUrl} B"
    " ${StaticQrcodePic} C ${DynamicQrcodeUrl}'), (5, 4, 'Fail', 'f'), (6, 6, 'Push', 'Book ${H5URL} now ${H5URL}');"
    "SELECT setval('visitor.emailtemplate_id_seq', 100);"
    "INSERT INTO visitor.visit_basic_config(appoint_emailtemplate_id, checkin_emailtemplate_id) VALUES (2, 1);";
// Templates added in the incremental database during the upgrade; one without name.
const std::string kAdded =
    "INSERT INTO visitor.emailtemplate (template_type, name, subject, content, createtime, updatetime, receiver) VALUES"
    " (0, 'Check-in O''Brien', '', 'We''re \"here\" \\ \u8bbf\u5ba2 ${VisitorName}', '2024-02-03 04:05:06.789', NULL, "
    "''),"
    " (1, 'Front desk', 'Visit', 'Dear ${VisitorName}', '2024-05-06 07:08:09', '2024-05-06 07:08:09.5', 'desk@x'),"
    " (3, 'Added QR', 's', 'Hi ${StaticQrcodePic}${DynamicQrcodeUrl}!', NULL, NULL, ''),"
    " (6, NULL, 's', 'Go ${H5URL} ${H5URL}', NULL, NULL, '');";
const std::string kIncremental =
    "ALTER TABLE visitor.emailtemplate ALTER name DROP NOT NULL;" + kAdded +
    "INSERT INTO visitor.emailtemplate (template_type, name, isdeleted) VALUES (2, 'Old review', 1);"
    "INSERT INTO visitor.visit_basic_config(appoint_emailtemplate_id, checkin_emailtemplate_id) SELECT"
    " (SELECT id FROM visitor.emailtemplate WHERE name = 'Front desk'), (SELECT id FROM visitor.emailtemplate WHERE"
    " name = 'Check-in O''Brien');";

struct SDatabases {
    CTestDatabase upgraded{"upg"}, incremental{"inc"};
    std::unique_ptr<db_layer::CConnect> pUpgraded, pIncremental;
    C1130ToC1140 move;
    C1140ToC1150 rewrite;
    int nCode = 0;
    std::string strText;
    SDatabases() {
        vsu_test::BuildAt(upgraded, "1.13.0");
        vsu_test::BuildAt(incremental, "1.13.0");
        upgraded.Exec(std::string(kBuiltIn) + "ALTER TABLE visitor.emailtemplate ALTER name DROP NOT NULL;");
        incremental.Exec(kIncremental);
        pUpgraded = upgraded.Connect();
        pIncremental = incremental.Connect();
    }
    bool Config() {
        vsu_test::CLogCapture quiet;
        return move.UpgradeCourse_Config(nCode, strText, nullptr, pUpgraded.get(), db_layer::DBParam()) &&
               rewrite.UpgradeCourse_Config(nCode, strText, nullptr, pUpgraded.get(), db_layer::DBParam());
    }
    bool Incremental() {
        vsu_test::CLogCapture quiet;
        return move.UpgradeCourse_Config_IncreData(nCode, strText, nullptr, pUpgraded.get(), pIncremental.get(),
                                                   db_layer::DBParam()) &&
               rewrite.UpgradeCourse_Config_IncreData(nCode, strText, nullptr, pUpgraded.get(), pIncremental.get(),
                                                      db_layer::DBParam());
    }
    std::string State() const {
        const char* const kIds =
            "SELECT concat_ws(',', whats_app_id_for_appoint_success, whats_app_id_for_appoint_fail,"
            " whats_app_id_for_appoint_review, whats_app_id_for_push_info_firstly) FROM visitor.visit_basic_config";
        return vsu_test::Rows(upgraded, "visitor.emailtemplate WHERE name IS NULL OR name !~ '^Built-in'",
                              "template_type, coalesce(name, '-'), subject, content, createtime, updatetime,"
                              " receiver, button_info, is_default, id > 100") +
               "\n" + upgraded.Scalar("SELECT count(*) FROM visitor.emailtemplate WHERE name ~ '^Built-in'") + "\n" +
               upgraded.Scalar(kIds) + "\n" + incremental.Scalar(kIds) + "\n" + Pointed("checkin") + "|" +
               Pointed("appoint") + "|" + incremental.Scalar("SELECT count(*) FROM visitor.emailtemplate");
    }
    // The incremental base configuration names templates of the upgraded database.
    std::string Pointed(const std::string& strKind) const {
        return upgraded.Scalar(
            "SELECT coalesce(max(name), 'none') FROM visitor.emailtemplate WHERE id = " +
            incremental.Scalar("SELECT " + strKind + "_emailtemplate_id FROM visitor.visit_basic_config"));
    }
};

TEST(TemplateStates, EachHistoryEndsWithEveryTemplateMovedOnceRewrittenOnceAndPointedToByName) {
    VSU_REQUIRE_SERVER();
    vsu_test::CInFixtures scripts;
    const struct {
        const char* szCase;
        const char* szBefore;  // SQL on the upgraded database before the passes (after the configuration passes
                               // with bBetween)
        bool bRefusedFirst;    // the passes run once and fail, szRepair follows, then they run
        const char* szRepair;
        int nRuns;
        bool bBetween = false;
    } cases[] = {
        {"once", "", false, "", 1},
        {"every pass twice", "", false, "", 2},
        {"WhatsApp ids refused once",
         "ALTER TABLE visitor.visit_basic_config ADD CONSTRAINT refuse CHECK"
         " (whats_app_id_for_appoint_fail = 0)",
         true, "ALTER TABLE visitor.visit_basic_config DROP CONSTRAINT refuse", 1},
        {"rewrite of the moved templates refused once",
         "CREATE FUNCTION visitor.refuse() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN IF NEW.name = 'Added QR' AND"
         " NEW.button_info <> '' THEN RAISE EXCEPTION 'refused'; END IF; RETURN NEW; END $$;"
         "CREATE TRIGGER refuse BEFORE UPDATE ON visitor.emailtemplate FOR EACH ROW EXECUTE FUNCTION visitor.refuse();",
         true, "DROP TRIGGER refuse ON visitor.emailtemplate", 1},
        {"a move whose removal never happened", kAdded.c_str(), false, "", 1, true},
    };
    std::string strOneRun;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szCase);
        SDatabases dbs;
        if (*c.szBefore != 0 && !c.bBetween) dbs.upgraded.Exec(c.szBefore);
        if (c.bRefusedFirst) {
            EXPECT_FALSE(dbs.Config() && dbs.Incremental());
            EXPECT_NE(dbs.strText.find("refuse"), std::string::npos) << dbs.strText;
            dbs.upgraded.Exec(c.szRepair);
        }
        for (int nRun = 0; nRun < c.nRuns; ++nRun) {
            EXPECT_TRUE(dbs.Config()) << dbs.strText;
            if (c.bBetween && nRun == 0) dbs.upgraded.Exec(c.szBefore);
            EXPECT_TRUE(dbs.Incremental()) << dbs.strText;
        }
        if (strOneRun.empty()) strOneRun = dbs.State();
        EXPECT_EQ(dbs.State(), strOneRun);
    }
    // Moved templates once, bodies intact, placeholders of types 3 and 6 removed once; defaults 1-6 and the
    // WhatsApp ids of their types in both databases; the incremental references follow the moved templates.
    EXPECT_EQ(
        strOneRun,
        "0:Check-in O'Brien::We're \"here\" \\ \u8bbf\u5ba2 ${VisitorName}:2024-02-03 04:05:06.789:::0:t,"
        "0:Check-in::c:::1:f,1:Appointment::x ${H5URL}:::1:f,"
        "1:Front desk:Visit:Dear ${VisitorName}:2024-05-06 07:08:09:2024-05-06 07:08:09.5:desk@x::0:t,"
        "2:Review::r:::1:f,3:Added QR:s:Hi !::View QR Code:0:t,3:QR::A  B  C ${DynamicQrcodeUrl}::View QR Code:1:f,"
        "4:Fail::f:::1:f,6:-:s:Go  ${H5URL}::Reserve:0:t,6:Push::Book  now ${H5URL}::Reserve:1:f\n"
        "4\n4,5,0,6\n4,5,0,6\nCheck-in O'Brien|Front desk|0");
}

}  // namespace
