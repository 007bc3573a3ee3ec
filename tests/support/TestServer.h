// The throwaway PostgreSQL server of the test run (scripts/test runs ctest inside one;
// the pg_server fixture records it in $VSU_PG_DIR/env). CTestDatabase makes a database
// of the test's own, dropped when the object dies. Tests skip when none is recorded.
#pragma once
#include <memory>
#include <string>

#include "db_layer/CConnect.h"

namespace vsu_test {

class CTestServer {
public:
    // True when $VSU_PG_DIR/env names a running server.
    static bool Available();
    // The connection string to database strDb, as the server's superuser.
    static std::string ConnInfo(const std::string& strDb);
};

class CTestDatabase {
public:
    // A database named [prefix_]suite_test_<random>, cut to 63 characters.
    explicit CTestDatabase(const std::string& strPrefix = "");
    ~CTestDatabase();
    CTestDatabase(const CTestDatabase&) = delete;
    CTestDatabase& operator=(const CTestDatabase&) = delete;

    const std::string& Name() const { return m_strName; }
    std::string ConnInfo() const { return CTestServer::ConnInfo(m_strName); }
    // An open connection; SQL run on a private connection; the first column of the first row of a query
    // as text ("" when no row, "<NULL>" for NULL). Each fails the test on error.
    std::unique_ptr<db_layer::CConnect> Connect() const;
    void Exec(const std::string& strSql) const;
    std::string Scalar(const std::string& strSql) const;

private:
    std::string m_strName;
};

// Skips the current test when no server is available (e.g. run outside scripts/test).
#define VSU_REQUIRE_SERVER()                                                           \
    do {                                                                               \
        if (!::vsu_test::CTestServer::Available())                                     \
            GTEST_SKIP() << "no test server: run through scripts/test (pg_server fixture)"; \
    } while (0)

}  // namespace vsu_test
