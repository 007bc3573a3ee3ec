// A module database as the reference in fixtures/ describes it, for the state
// tables of the server tests: the base schema at "0.0.0" plus the delivered
// scripts of every step before a version, without rows (each case inserts its
// start state), and the module's status row. Also the shared "lumo" database,
// the delivered scripts as the working directory, and tables read as text.
#pragma once
#include <filesystem>
#include <string>

#include "TestServer.h"

namespace vsu_test {

// Builds db at strVersion, one of the chain's from-versions; the status row
// ('visitor.s', '1.12.0') says 1|-1|-1|strVersion.
void BuildAt(const CTestDatabase& db, const std::string& strVersion);
// Fails unless the "lumo" database that the first step imports from is there (the pg_server fixture
// makes it once, before any test, so that no two tests race to make it).
void EnsureLumoDatabase();
// The rows of strFrom (a table, or a join) as "a:b:c" of strColumns, sorted, joined by ",".
std::string Rows(const CTestDatabase& db, const std::string& strFrom, const std::string& strColumns);

// fixtures/ is the working directory while it lives: the steps read the delivered scripts.
class CInFixtures {
public:
    CInFixtures();
    ~CInFixtures();
    CInFixtures(const CInFixtures&) = delete;
    CInFixtures& operator=(const CInFixtures&) = delete;

private:
    std::filesystem::path m_previous;
};

}  // namespace vsu_test
