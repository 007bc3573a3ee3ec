#include "ReferenceDatabase.h"

#include <gtest/gtest.h>

#include <fstream>

namespace vsu_test {

namespace {

const std::string kFixtures = std::string(VSU_SOURCE_DIR) + "/fixtures/";
const char* const kVersions[] = {"0.0.0",  "1.0.0",  "1.3.0",  "1.6.0",  "1.7.0",  "1.8.0",  "1.9.0",
                                 "1.10.0", "1.11.0", "1.12.0", "1.13.0", "1.14.0", "1.15.0", "1.16.0"};
// The script folder of the step that starts at kVersions[i]; the first step has none.
const char* const kFolders[] = {"",      "1.1.0", "1.2.0", "1.3.0",  "1.4.0",  "1.5.0", "1.6.0",
                                "1.7.0", "1.8.0", "1.9.0", "1.14.0", "1.15.0", "1.16.0"};

// A fixture's SQL without psql's meta-commands.
std::string Sql(const std::string& strRelative) {
    std::ifstream file(kFixtures + strRelative);
    EXPECT_TRUE(file.good()) << kFixtures << strRelative;
    std::string strLine, strSql;
    while (std::getline(file, strLine))
        if (strLine.rfind("\\", 0) != 0) strSql += strLine + "\n";
    return strSql;
}

}  // namespace

void BuildAt(const CTestDatabase& db, const std::string& strVersion) {
    db.Exec(Sql("schema/base.sql"));
    size_t nIndex = 0;
    while (nIndex < std::size(kVersions) && strVersion != kVersions[nIndex]) ++nIndex;
    ASSERT_LT(nIndex, std::size(kVersions)) << strVersion << " is no from-version";
    const std::string strScripts = "META_INFO/visitor.s/runtime_script/db_init/update_V";
    for (size_t i = 1; i < nIndex; ++i) {
        db.Exec(Sql(strScripts + kFolders[i] + "/update.sql"));
        if (std::string(kFolders[i]) == "1.14.0") db.Exec(Sql(strScripts + "1.14.0/init_data.sql"));
    }
    db.Exec(
        "INSERT INTO platform.module_version_status(module_identity, version_no, status, schedule, rate_progress,"
        " step_ver) VALUES ('visitor.s', '1.12.0', 1, -1, -1, '" +
        strVersion + "')");
}

void EnsureLumoDatabase() {
    db_layer::CConnect lumo;
    ASSERT_TRUE(lumo.Open(CTestServer::ConnInfo("lumo"))) << "no lumo database: the pg_server fixture makes it";
}

std::string Rows(const CTestDatabase& db, const std::string& strFrom, const std::string& strColumns) {
    return db.Scalar("SELECT coalesce(string_agg(r, ',' ORDER BY r), '') FROM (SELECT concat_ws(':', " + strColumns +
                     ") AS r FROM " + strFrom + ") t");
}

CInFixtures::CInFixtures() : m_previous(std::filesystem::current_path()) { std::filesystem::current_path(kFixtures); }
CInFixtures::~CInFixtures() { std::filesystem::current_path(m_previous); }

}  // namespace vsu_test
