#include "LumoDatabase.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

#include "TestServer.h"
#include "db_layer/CConnect.h"

namespace vsu_test {

namespace {

bool LumoExists(db_layer::CConnect& admin) {
    return admin.Query("SELECT 1 AS present FROM pg_database WHERE datname = 'lumo'") && !admin.IsEOF();
}

// fixtures/schema/lumo.sql without its psql meta-commands.
std::string LumoSchema() {
    std::ifstream file(std::string(VSU_SOURCE_DIR) + "/fixtures/schema/lumo.sql");
    std::string strLine, strSql;
    while (std::getline(file, strLine))
        if (strLine.rfind("\\", 0) != 0) strSql += strLine + "\n";
    return strSql;
}

}  // namespace

void EnsureLumoDatabase() {
    db_layer::CConnect admin;
    ASSERT_TRUE(admin.Open(CTestServer::AdminConnInfo()));
    if (LumoExists(admin)) return;

    const std::string strPrivate = "lumo_building_" + std::to_string(std::random_device{}());
    ASSERT_TRUE(admin.Execute("CREATE DATABASE " + strPrivate));
    {
        db_layer::CConnect build;
        ASSERT_TRUE(build.Open(CTestServer::ConnInfo(strPrivate)));
        const std::string strSchema = LumoSchema();
        ASSERT_FALSE(strSchema.empty()) << "fixtures/schema/lumo.sql not found";
        std::string strError;
        ASSERT_TRUE(build.Execute(strSchema)) << (build.GetLastError(strError), strError);
    }
    if (!admin.Execute("ALTER DATABASE " + strPrivate + " RENAME TO lumo")) {
        admin.Execute("DROP DATABASE " + strPrivate);
        ASSERT_TRUE(LumoExists(admin)) << "lumo could neither be made nor found";
    }
}

}  // namespace vsu_test
