// Reads the env file that the pg_server fixture wrote and makes one database per
// test on that server, through the DBLayer connection itself.
#include "TestServer.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>

namespace vsu_test {

namespace {

std::map<std::string, std::string> ReadEnvFile() {
    const char* szDir = std::getenv("VSU_PG_DIR");
    std::ifstream file(std::string(szDir != nullptr ? szDir : "") + "/env");
    std::map<std::string, std::string> values;
    for (std::string strLine; std::getline(file, strLine);) {
        const size_t nEq = strLine.find('=');
        if (nEq != std::string::npos) values[strLine.substr(0, nEq)] = strLine.substr(nEq + 1);
    }
    return values;
}

// A libpq value: between single quotes, each quote or backslash escaped by a backslash.
std::string Value(const std::string& strText) {
    std::string strQuoted = "'";
    for (char c : strText) strQuoted += (c == '\'' || c == '\\') ? std::string{'\\', c} : std::string{c};
    return strQuoted + "'";
}

// Runs one text on a connection of its own; fails the test on error.
bool RunSql(const std::string& strConnInfo, const std::string& strSql) {
    db_layer::CConnect conn;
    if (conn.Open(strConnInfo) && conn.Execute(strSql)) return true;
    std::string strError;
    conn.GetLastError(strError);
    ADD_FAILURE() << "SQL failed: " << strError << "\n  in: " << strSql;
    return false;
}

}  // namespace

bool CTestServer::Available() {
    std::map<std::string, std::string> values = ReadEnvFile();
    return !values["PGPORT"].empty() && std::ifstream(values["PGDATA"] + "/postmaster.pid").good();
}

std::string CTestServer::ConnInfo(const std::string& strDb) {
    std::map<std::string, std::string> values = ReadEnvFile();
    return "host=" + Value(values["PGHOST"]) + " port=" + Value(values["PGPORT"]) + " user=" + Value(values["PGUSER"]) +
           " dbname=" + Value(strDb);
}

// Names are made of [a-z0-9_] only, so they need no quoting in SQL.
CTestDatabase::CTestDatabase(const std::string& strPrefix) {
    const ::testing::TestInfo* pInfo = ::testing::UnitTest::GetInstance()->current_test_info();
    m_strName = (strPrefix.empty() ? "" : strPrefix + "_") +
                (pInfo != nullptr ? std::string(pInfo->test_suite_name()) + "_" + pInfo->name() : "vsu");
    for (char& c : m_strName)
        c = std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(static_cast<unsigned char>(c)))
                                                        : '_';
    static std::mt19937 engine{std::random_device{}()};
    m_strName = m_strName.substr(0, 50) + "_" + std::to_string(engine());
    if (!CTestServer::Available())
        ADD_FAILURE() << "no test server in VSU_PG_DIR";
    else
        RunSql(CTestServer::ConnInfo("postgres"), "CREATE DATABASE " + m_strName);
}

CTestDatabase::~CTestDatabase() {
    // FORCE: a connection a test forgot to close must not leave the database behind.
    if (CTestServer::Available())
        RunSql(CTestServer::ConnInfo("postgres"), "DROP DATABASE IF EXISTS " + m_strName + " WITH (FORCE)");
}

std::unique_ptr<db_layer::CConnect> CTestDatabase::Connect() const {
    auto pConn = std::make_unique<db_layer::CConnect>();
    std::string strError;
    if (!pConn->Open(ConnInfo())) {
        pConn->GetLastError(strError);
        ADD_FAILURE() << "cannot connect to " << m_strName << ": " << strError;
    }
    return pConn;
}

void CTestDatabase::Exec(const std::string& strSql) const { RunSql(ConnInfo(), strSql); }

std::string CTestDatabase::Scalar(const std::string& strSql) const {
    // The connection reads columns by name only: the query becomes a subquery whose
    // first column gets a known name (so a query, not SHOW; a trailing ';' is dropped).
    std::string strQuery = strSql;
    while (!strQuery.empty() && (strQuery.back() == ';' || std::isspace(static_cast<unsigned char>(strQuery.back()))))
        strQuery.pop_back();
    db_layer::CConnect conn;
    std::string strError;
    if (!conn.Open(ConnInfo()) || !conn.Query("SELECT v FROM (" + strQuery + "\n) AS vsu_scalar(v)")) {
        conn.GetLastError(strError);
        ADD_FAILURE() << "query failed: " << strError << "\n  in: " << strSql;
        return std::string();
    }
    if (conn.IsEOF()) return std::string();
    return conn.IsNull("v") ? "<NULL>" : conn.GetString("v");
}

}  // namespace vsu_test
