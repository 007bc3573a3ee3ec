// Reads the env file that pgtmp wrote into $VSU_PG_DIR and makes one database
// per test on that server, through the DBLayer connection itself.
#include "TestServer.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>

namespace vsu_test {

namespace {

constexpr size_t kMaxIdentifier = 63;

std::map<std::string, std::string> ReadEnvFile()
{
    std::map<std::string, std::string> values;
    const std::string strDir = CTestServer::Directory();
    if (strDir.empty())
        return values;
    std::ifstream file(strDir + "/env");
    std::string strLine;
    while (std::getline(file, strLine)) {
        const size_t nEq = strLine.find('=');
        if (nEq != std::string::npos)
            values[strLine.substr(0, nEq)] = strLine.substr(nEq + 1);
    }
    return values;
}

// A value in libpq's keyword=value syntax: quoted, with ' and \ escaped.
std::string ConnValue(const std::string& strValue)
{
    std::string strQuoted = "'";
    for (char c : strValue) {
        if (c == '\'' || c == '\\')
            strQuoted += '\\';
        strQuoted += c;
    }
    return strQuoted + "'";
}

std::string QuoteIdentifier(const std::string& strName)
{
    std::string strQuoted = "\"";
    for (char c : strName) {
        if (c == '"')
            strQuoted += '"';
        strQuoted += c;
    }
    return strQuoted + "\"";
}

std::string Sanitize(const std::string& strText)
{
    std::string strResult;
    for (char c : strText) {
        const unsigned char u = static_cast<unsigned char>(c);
        strResult += std::isalnum(u) ? static_cast<char>(std::tolower(u)) : '_';
    }
    return strResult;
}

std::string RandomSuffix()
{
    static std::mt19937_64 engine{std::random_device{}()};
    static const char kDigits[] = "0123456789abcdef";
    std::string strSuffix;
    std::uint64_t nValue = engine();
    for (int i = 0; i < 8; ++i, nValue >>= 4)
        strSuffix += kDigits[nValue & 0xF];
    return strSuffix;
}

std::string DatabaseName(const std::string& strPrefix)
{
    std::string strBase = strPrefix.empty() ? std::string() : Sanitize(strPrefix) + "_";
    const ::testing::TestInfo* pInfo = ::testing::UnitTest::GetInstance()->current_test_info();
    strBase += pInfo != nullptr ? Sanitize(std::string(pInfo->test_suite_name()) + "_" + pInfo->name()) : "vsu";
    const std::string strSuffix = "_" + RandomSuffix();
    if (strBase.size() + strSuffix.size() > kMaxIdentifier)
        strBase.resize(kMaxIdentifier - strSuffix.size());
    return strBase + strSuffix;
}

// Runs one text on a connection of its own; the error text when it fails.
bool RunAdmin(const std::string& strConnInfo, const std::string& strSql, std::string& strError)
{
    db_layer::CConnect conn;
    if (!conn.Open(strConnInfo) || !conn.Execute(strSql)) {
        conn.GetLastError(strError);
        return false;
    }
    return true;
}

}  // namespace

bool CTestServer::Available()
{
    const std::map<std::string, std::string> values = ReadEnvFile();
    const auto itData = values.find("PGDATA");
    if (itData == values.end() || values.count("PGHOST") == 0 || values.count("PGPORT") == 0)
        return false;
    return std::ifstream(itData->second + "/postmaster.pid").good();
}

std::string CTestServer::AdminConnInfo()
{
    return ConnInfo("postgres");
}

std::string CTestServer::ConnInfo(const std::string& strDb)
{
    return ConnInfo(strDb, std::string());
}

std::string CTestServer::ConnInfo(const std::string& strDb, const std::string& strUser)
{
    std::map<std::string, std::string> values = ReadEnvFile();
    const std::string strServerUser = values["PGUSER"].empty() ? "postgres" : values["PGUSER"];
    return "host=" + ConnValue(values["PGHOST"]) + " port=" + ConnValue(values["PGPORT"]) +
           " user=" + ConnValue(strUser.empty() ? strServerUser : strUser) + " dbname=" + ConnValue(strDb);
}

std::string CTestServer::LogPath()
{
    const std::string strBesideCluster = ReadEnvFile()["PGTMP_DIR"] + "/postgres.log";
    return std::ifstream(strBesideCluster).good() ? strBesideCluster : Directory() + "/postgres.log";
}

std::string CTestServer::Directory()
{
    const char* szDir = std::getenv("VSU_PG_DIR");
    return szDir != nullptr ? std::string(szDir) : std::string();
}

CTestDatabase::CTestDatabase() : CTestDatabase(std::string()) {}

CTestDatabase::CTestDatabase(const std::string& strPrefix) : m_strName(DatabaseName(strPrefix))
{
    if (!CTestServer::Available()) {
        ADD_FAILURE() << "no test server in VSU_PG_DIR='" << CTestServer::Directory() << "'";
        return;
    }
    std::string strError;
    if (!RunAdmin(CTestServer::AdminConnInfo(), "CREATE DATABASE " + QuoteIdentifier(m_strName), strError))
        ADD_FAILURE() << "cannot create database " << m_strName << ": " << strError;
}

CTestDatabase::~CTestDatabase()
{
    if (!CTestServer::Available())
        return;
    std::string strError;
    // FORCE: a connection a test forgot to close must not leave the database behind.
    if (!RunAdmin(CTestServer::AdminConnInfo(),
                  "DROP DATABASE IF EXISTS " + QuoteIdentifier(m_strName) + " WITH (FORCE)", strError))
        ADD_FAILURE() << "cannot drop database " << m_strName << ": " << strError;
}

std::string CTestDatabase::ConnInfo() const
{
    return CTestServer::ConnInfo(m_strName);
}

std::unique_ptr<db_layer::CConnect> CTestDatabase::Connect() const
{
    auto pConn = std::make_unique<db_layer::CConnect>();
    if (!pConn->Open(ConnInfo())) {
        std::string strError;
        pConn->GetLastError(strError);
        ADD_FAILURE() << "cannot connect to " << m_strName << ": " << strError;
    }
    return pConn;
}

void CTestDatabase::Exec(const std::string& strSql) const
{
    std::string strError;
    if (!RunAdmin(ConnInfo(), strSql, strError))
        ADD_FAILURE() << "SQL failed: " << strError << "\n  in: " << strSql;
}

std::string CTestDatabase::Scalar(const std::string& strSql) const
{
    // The connection reads columns by name only; renaming the first column of
    // the query as a subquery gives it a known name. The text must therefore be
    // a query (SELECT, WITH, VALUES, TABLE); a trailing ';' is dropped.
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
    if (conn.IsNull("vsu_scalar_value"))
        return "<NULL>";
    return conn.GetString("vsu_scalar_value");
}

}  // namespace vsu_test
