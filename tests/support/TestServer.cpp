// Reads the env file that the pg_server fixture wrote and makes one database per
// test on that server, through the DBLayer connection itself.
#include "TestServer.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>

namespace vsu_test {

namespace {

std::map<std::string, std::string> ReadEnvFile()
{
    std::map<std::string, std::string> values;
    std::ifstream file(CTestServer::Directory() + "/env");
    std::string strLine;
    while (std::getline(file, strLine)) {
        const size_t nEq = strLine.find('=');
        if (nEq != std::string::npos)
            values[strLine.substr(0, nEq)] = strLine.substr(nEq + 1);
    }
    return values;
}

// Text between cQuote, each cQuote or cEscape in it preceded by cEscape (libpq values, identifiers).
std::string Quoted(const std::string& strText, char cQuote, char cEscape)
{
    std::string strQuoted(1, cQuote);
    for (char c : strText) {
        if (c == cQuote || c == cEscape)
            strQuoted += cEscape;
        strQuoted += c;
    }
    return strQuoted + cQuote;
}

std::string DatabaseName(const std::string& strPrefix)
{
    const ::testing::TestInfo* pInfo = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string strBase = (strPrefix.empty() ? "" : strPrefix + "_") +
                          (pInfo != nullptr ? std::string(pInfo->test_suite_name()) + "_" + pInfo->name() : "vsu");
    for (char& c : strBase)
        c = std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(static_cast<unsigned char>(c))) : '_';
    static std::mt19937 engine{std::random_device{}()};
    char szSuffix[10];
    std::snprintf(szSuffix, sizeof szSuffix, "_%08x", static_cast<unsigned>(engine()));
    return strBase.substr(0, 63 - 9) + szSuffix;
}

// Runs one text on a connection of its own; the error text when it fails.
bool RunSql(const std::string& strConnInfo, const std::string& strSql, std::string& strError)
{
    db_layer::CConnect conn;
    if (conn.Open(strConnInfo) && conn.Execute(strSql))
        return true;
    conn.GetLastError(strError);
    return false;
}

}  // namespace

bool CTestServer::Available()
{
    std::map<std::string, std::string> values = ReadEnvFile();
    return !values["PGPORT"].empty() && std::ifstream(values["PGDATA"] + "/postmaster.pid").good();
}

std::string CTestServer::AdminConnInfo() { return ConnInfo("postgres"); }

std::string CTestServer::ConnInfo(const std::string& strDb)
{
    std::map<std::string, std::string> values = ReadEnvFile();
    return "host=" + Quoted(values["PGHOST"], '\'', '\\') + " port=" + Quoted(values["PGPORT"], '\'', '\\') +
           " user=" + Quoted(values["PGUSER"], '\'', '\\') +
           " dbname=" + Quoted(strDb, '\'', '\\');
}

std::string CTestServer::Directory()
{
    const char* szDir = std::getenv("VSU_PG_DIR");
    return szDir != nullptr ? std::string(szDir) : std::string();
}

CTestDatabase::CTestDatabase() : CTestDatabase(std::string()) {}

CTestDatabase::CTestDatabase(const std::string& strPrefix) : m_strName(DatabaseName(strPrefix))
{
    std::string strError;
    if (!CTestServer::Available())
        ADD_FAILURE() << "no test server in VSU_PG_DIR='" << CTestServer::Directory() << "'";
    else if (!RunSql(CTestServer::AdminConnInfo(), "CREATE DATABASE " + Quoted(m_strName, '"', '"'), strError))
        ADD_FAILURE() << "cannot create database " << m_strName << ": " << strError;
}

CTestDatabase::~CTestDatabase()
{
    std::string strError;
    // FORCE: a connection a test forgot to close must not leave the database behind.
    if (CTestServer::Available() &&
        !RunSql(CTestServer::AdminConnInfo(), "DROP DATABASE IF EXISTS " + Quoted(m_strName, '"', '"') + " WITH (FORCE)",
                strError))
        ADD_FAILURE() << "cannot drop database " << m_strName << ": " << strError;
}

std::string CTestDatabase::ConnInfo() const { return CTestServer::ConnInfo(m_strName); }

std::unique_ptr<db_layer::CConnect> CTestDatabase::Connect() const
{
    auto pConn = std::make_unique<db_layer::CConnect>();
    std::string strError;
    if (!pConn->Open(ConnInfo())) {
        pConn->GetLastError(strError);
        ADD_FAILURE() << "cannot connect to " << m_strName << ": " << strError;
    }
    return pConn;
}

void CTestDatabase::Exec(const std::string& strSql) const
{
    std::string strError;
    if (!RunSql(ConnInfo(), strSql, strError))
        ADD_FAILURE() << "SQL failed: " << strError << "\n  in: " << strSql;
}

std::string CTestDatabase::Scalar(const std::string& strSql) const
{
    // The connection reads columns by name only: the query becomes a subquery whose
    // first column gets a known name (so a query, not SHOW; a trailing ';' is dropped).
    std::string strQuery = strSql;
    while (!strQuery.empty() && (strQuery.back() == ';' || std::isspace(static_cast<unsigned char>(strQuery.back()))))
        strQuery.pop_back();
    db_layer::CConnect conn;
    std::string strError;
    if (!conn.Open(ConnInfo()) ||
        !conn.Query("SELECT vsu_scalar_value FROM (" + strQuery + "\n) AS vsu_scalar(vsu_scalar_value)")) {
        conn.GetLastError(strError);
        ADD_FAILURE() << "query failed: " << strError << "\n  in: " << strSql;
        return std::string();
    }
    if (conn.IsEOF())
        return std::string();
    return conn.IsNull("vsu_scalar_value") ? "<NULL>" : conn.GetString("vsu_scalar_value");
}

}  // namespace vsu_test
