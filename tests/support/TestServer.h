// Access to the throwaway PostgreSQL server that the test run started (see
// pgtmp): each test makes a database of its own with CTestDatabase, which is
// dropped again when the object dies. Tests skip when no server was started.
#pragma once
#include <memory>
#include <string>

#include "db_layer/CConnect.h"

namespace vsu_test {

class CTestServer {
public:
    // True when VSU_PG_DIR names a running server's directory.
    static bool Available();
    // libpq connection string of the server's maintenance database "postgres".
    static std::string AdminConnInfo();
    // libpq connection string of database strDb on the server.
    static std::string ConnInfo(const std::string& strDb);
    // The same as role strUser (trust authentication: no password needed).
    static std::string ConnInfo(const std::string& strDb, const std::string& strUser);
    // The directory pgtmp started the server in (holds its env file and log).
    static std::string Directory();
    // The server's log file (beside the env file, or beside the cluster when the
    // server's owner could not write there).
    static std::string LogPath();
};

class CTestDatabase {
public:
    // Creates a database named after the running test plus a random suffix.
    CTestDatabase();
    explicit CTestDatabase(const std::string& strPrefix);
    ~CTestDatabase();
    CTestDatabase(const CTestDatabase&) = delete;
    CTestDatabase& operator=(const CTestDatabase&) = delete;

    const std::string& Name() const { return m_strName; }
    std::string ConnInfo() const;
    // A new open connection to the database (fails the test if it cannot open).
    std::unique_ptr<db_layer::CConnect> Connect() const;
    // Runs SQL on a private connection; fails the test on error.
    void Exec(const std::string& strSql) const;
    // First column of the first row as text ("" when no row; "<NULL>" for NULL).
    std::string Scalar(const std::string& strSql) const;

private:
    std::string m_strName;
};

// Skips the current test when no server is available (e.g. run outside ctest).
#define VSU_REQUIRE_SERVER()                                                       \
    do {                                                                           \
        if (!::vsu_test::CTestServer::Available())                                 \
            GTEST_SKIP() << "no test server: run through ctest (pgtmp fixture)";   \
    } while (0)

}  // namespace vsu_test
