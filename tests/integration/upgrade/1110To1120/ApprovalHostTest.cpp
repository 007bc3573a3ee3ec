// The approval migration through the visitor-upgrade command on the reference
// database at 1.11.0: the configuration and records passes, their repetition,
// the incremental passes over three databases, and records passes killed at
// random moments and run again until they succeed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "TestServer.h"

namespace {

namespace fs = std::filesystem;

const fs::path kBin = fs::read_symlink("/proc/self/exe").parent_path();
const fs::path kRoot = VSU_SOURCE_DIR;

// Runs a bash command with the test server's environment; returns its exit code and output.
int Shell(const std::string& strCommand, std::string* pOutput = nullptr) {
    const std::string strFull = "set -a; . '" + vsu_test::CTestServer::Directory() + "/env'; set +a; " + strCommand;
    std::string strQuoted = "'";
    for (char c : strFull) strQuoted += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    FILE* pPipe = popen(("bash -c " + strQuoted + "' 2>&1").c_str(), "r");
    if (pPipe == nullptr) return -1;
    std::array<char, 4096> buffer{};
    std::string strOut;
    while (fgets(buffer.data(), buffer.size(), pPipe) != nullptr) strOut += buffer.data();
    const int nStatus = pclose(pPipe);
    if (pOutput != nullptr) *pOutput = strOut;
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

std::string Sql(const std::string& strDb, const std::string& strQuery) {
    std::string strOut;
    Shell("psql -X -At -v ON_ERROR_STOP=1 -d " + strDb + " -c \"" + strQuery + "\"", &strOut);
    while (!strOut.empty() && strOut.back() == '\n') strOut.pop_back();
    return strOut;
}

std::string Host() { return (kBin / "visitor-upgrade").string(); }

// The command line of one run of the host; passes joined by blanks.
std::string HostRun(const std::string& strPasses, const std::string& strDb1, const std::string& strExtra = "") {
    return Host() + " run --from 1.11.0 --pass " + strPasses + " --db1 dbname=" + strDb1 + " " + strExtra +
           " --workdir '" + (kRoot / "fixtures").string() + "' --log-level 5";
}

// Databases of one test, dropped at its end.
struct SDatabases {
    std::vector<std::string> vecNames;
    ~SDatabases() {
        for (const std::string& strName : vecNames) Shell("dropdb --if-exists " + strName);
    }
    std::string Add(const std::string& strName) {
        vecNames.push_back(strName + "_" + std::to_string(getpid()));
        return vecNames.back();
    }
};

#define VSU_REQUIRE_HOST()                                                                                 \
    do {                                                                                                   \
        VSU_REQUIRE_SERVER();                                                                              \
        if (!fs::exists(kBin / "visitor-upgrade"))                                                         \
            GTEST_SKIP() << "visitor-upgrade is not built beside the tests (cmake --build --target visitor-upgrade)"; \
    } while (0)

// The reference database at 1.11.0, topped up to nAppointments appointments and
// nReviews review records, all live with status 0, 2 or 3.
void BuildReference(const std::string& strDb, int nAppointments = 0, int nReviews = 0) {
    std::string strOut;
    // build-at creates the shared `lumo` database when missing: tests run at once
    // under ctest -j would both try; the lock in the server's directory serialises them.
    ASSERT_EQ(Shell("flock '" + vsu_test::CTestServer::Directory() + "/build-at.lock' '" +
                        (kRoot / "fixtures/build-at").string() + "' 1.11.0 --db " + strDb + " --scale 1000 --bin '" +
                        kBin.string() + "'",
                    &strOut),
              0)
        << strOut;
    if (nAppointments > 0)
        Sql(strDb, "INSERT INTO visitor.visitor_appoint_record (id, interviewee_id, create_time, update_time) SELECT g, "
                   "2000 + g % 50, '2024-04-01'::timestamp + g * interval '1 second', NULL FROM generate_series(301, " +
                       std::to_string(nAppointments) + ") g");
    if (nReviews > 0)
        Sql(strDb, "INSERT INTO visitor.visitor_appoint_reveiw_record (id, appoint_review_status, interviewee_id, "
                   "create_time) SELECT g, (ARRAY[0, 2, 3])[g % 3 + 1], 2000 + g % 50, '2024-04-01'::timestamp FROM "
                   "generate_series(201, " +
                       std::to_string(nReviews) + ") g");
}

// What exactly-once conversion leaves: every appointment tied to exactly one
// process (and node) by its flow number, every live review of status 0, 2 or 3
// linked to exactly one appointment and process, nothing else.
void ExpectEachRecordConvertedOnce(const std::string& strDb) {
    const std::string strReviews =
        "FROM visitor.visitor_appoint_reveiw_record WHERE is_deleted = 0 AND appoint_review_status IN (0, 2, 3)";
    EXPECT_EQ(Sql(strDb, "SELECT count(*) FROM visitor.visitor_appoint_record WHERE coalesce(appoint_approval_flow_id, "
                         "'') = ''"),
              "0");
    EXPECT_EQ(Sql(strDb, "SELECT count(*) " + strReviews + " AND appoint_approval_flow_id IS NULL"), "0");
    EXPECT_EQ(Sql(strDb, "SELECT count(*) FROM visitor.visitor_appoint_reveiw_record WHERE appoint_approval_flow_id IS "
                         "NOT NULL AND NOT (is_deleted = 0 AND appoint_review_status IN (0, 2, 3))"),
              "0");
    EXPECT_EQ(Sql(strDb, "SELECT count(*) FROM officeworkflow.approve_process"),
              Sql(strDb, "SELECT count(*) FROM visitor.visitor_appoint_record"));
    EXPECT_EQ(Sql(strDb, "SELECT count(*) FROM officeworkflow.approve_process_node"),
              Sql(strDb, "SELECT count(*) FROM officeworkflow.approve_process"));
    EXPECT_EQ(Sql(strDb, "SELECT count(*) FROM (SELECT process_num FROM officeworkflow.approve_process GROUP BY "
                         "process_num HAVING count(*) > 1) d"),
              "0");
    EXPECT_EQ(Sql(strDb, "SELECT count(*) FROM (SELECT appoint_approval_flow_id FROM visitor.visitor_appoint_record "
                         "GROUP BY appoint_approval_flow_id HAVING count(*) > 1) d"),
              "0");
    EXPECT_EQ(Sql(strDb, "SELECT count(*) FROM visitor.visitor_appoint_record a WHERE NOT EXISTS (SELECT 1 FROM "
                         "officeworkflow.approve_process p WHERE p.process_num = a.appoint_approval_flow_id)"),
              "0");
    EXPECT_EQ(Sql(strDb, "SELECT count(*) " + strReviews + " AND appoint_approval_flow_id NOT IN (SELECT "
                         "appoint_approval_flow_id FROM visitor.visitor_appoint_record)"),
              "0");
    EXPECT_EQ(Sql(strDb, "SELECT max(id) <= 2147483647 FROM visitor.visitor_appoint_record"), "t");
}

TEST(ApprovalHost, ConfigAndRecordsPassesOnTheReferenceDatabaseAndTheirRepetitionChangeNothingMore) {
    VSU_REQUIRE_HOST();
    SDatabases dbs;
    const std::string strDb = dbs.Add("approval_ref");
    BuildReference(strDb);
    const std::string strChecks = "SELECT string_agg(user_id || ':' || appoint_check, ',' ORDER BY user_id) FROM "
                                  "visitor.self_appoint_setting";
    const std::string strChecksBefore = Sql(strDb, strChecks);
    const std::string strLivePoints = "SELECT count(*) FROM visitor.visit_checkout_point WHERE is_deleted = 0";
    std::string strOut;
    ASSERT_EQ(Shell(HostRun("config records", strDb), &strOut), 0) << strOut;

    ExpectEachRecordConvertedOnce(strDb);
    EXPECT_EQ(Sql(strDb, "SELECT count(*) FROM visitor.visit_checkout_point WHERE is_deleted = 0 AND type NOT IN (6, 8, "
                         "9)"),
              "0");
    EXPECT_NE(Sql(strDb, strChecks), strChecksBefore);
    EXPECT_EQ(Sql(strDb, "SELECT string_agg(DISTINCT step_ver, ',') FROM platform.module_version_status"), "1.16.0");

    // The host repeats both passes from the same version (a later step had failed).
    const std::string strChecksAfter = Sql(strDb, strChecks);
    const std::string strPoints = Sql(strDb, "SELECT count(*) FROM visitor.visit_checkout_point");
    const std::string strProcesses = Sql(strDb, "SELECT count(*) FROM officeworkflow.approve_process");
    ASSERT_EQ(Shell(HostRun("config records", strDb), &strOut), 0) << strOut;
    EXPECT_EQ(Sql(strDb, strChecks), strChecksAfter);
    EXPECT_EQ(Sql(strDb, "SELECT count(*) FROM visitor.visit_checkout_point"), strPoints);
    EXPECT_EQ(Sql(strDb, "SELECT count(*) FROM officeworkflow.approve_process"), strProcesses);
    ExpectEachRecordConvertedOnce(strDb);
}

TEST(ApprovalHost, IncrementalPassesTakeOverMarkedFlowNumbersAndRecreateReviewRowsAcrossThreeDatabases) {
    VSU_REQUIRE_HOST();
    SDatabases dbs;
    const std::string strFirst = dbs.Add("approval_incr_first");
    const std::string strSecond = dbs.Add("approval_incr_second");
    const std::string strThird = dbs.Add("approval_incr_third");
    BuildReference(strFirst);
    std::string strOut;
    ASSERT_EQ(Shell(HostRun("config records", strFirst), &strOut), 0) << strOut;
    ASSERT_EQ(Shell("createdb -T " + strFirst + " " + strSecond), 0);
    // The incremental database: newest shape, with what was added while the main passes ran.
    std::string strBuildThird = "createdb " + strThird + " && psql -X -q -o /dev/null -v ON_ERROR_STOP=1 -d " +
                                strThird + " -f '" + (kRoot / "fixtures/schema/base.sql").string() + "'";
    for (const char* szFolder : {"update_V1.1.0", "update_V1.2.0", "update_V1.3.0", "update_V1.4.0", "update_V1.5.0",
                                 "update_V1.6.0", "update_V1.7.0", "update_V1.8.0", "update_V1.9.0", "update_V1.14.0",
                                 "update_V1.15.0", "update_V1.16.0"})
        strBuildThird += " && psql -X -q -o /dev/null -v ON_ERROR_STOP=1 -d " + strThird + " -f '" +
                         (kRoot / "fixtures/META_INFO/visitor.s/runtime_script/db_init" / szFolder / "update.sql").string() +
                         "'";
    strBuildThird += " && psql -X -q -o /dev/null -v ON_ERROR_STOP=1 -d " + strThird + " -f '" +
                     (kRoot / "fixtures/seed-incremental.sql").string() + "'";
    ASSERT_EQ(Shell(strBuildThird, &strOut), 0) << strOut;

    const std::string strConverted = Sql(strSecond, "SELECT count(*) FROM visitor.visitor_appoint_reveiw_record WHERE "
                                                    "appoint_approval_flow_id IS NOT NULL");
    const std::string strFlow1 = Sql(strSecond, "SELECT appoint_approval_flow_id FROM visitor.visitor_appoint_record "
                                                "WHERE id = 1");
    const std::string strFlow2 = Sql(strSecond, "SELECT appoint_approval_flow_id FROM visitor.visitor_appoint_record "
                                                "WHERE id = 2");
    ASSERT_EQ(Shell(HostRun("config-incr records-incr", strFirst,
                        "--db2 dbname=" + strSecond + " --db3 dbname=" + strThird),
                    &strOut),
              0)
        << strOut;

    // Marked 2 and 3: the upgraded database's flow numbers; 2 without a row there: empty.
    EXPECT_EQ(Sql(strThird, "SELECT appoint_approval_flow_id FROM visitor.visitor_appoint_record WHERE id = 1"), strFlow1);
    EXPECT_EQ(Sql(strThird, "SELECT appoint_approval_flow_id FROM visitor.visitor_appoint_record WHERE id = 2"), strFlow2);
    EXPECT_EQ(Sql(strThird, "SELECT appoint_approval_flow_id FROM visitor.visitor_appoint_record WHERE id = 999999"), "");
    // Any other marker: a process and node of its own, 1000000 above the draws, with the merge markers.
    EXPECT_EQ(Sql(strThird, "SELECT count(*) FROM visitor.visitor_appoint_record a JOIN officeworkflow.approve_process p "
                            "ON p.process_num = a.appoint_approval_flow_id WHERE p.id > 1000000 AND "
                            "p.row_status_implicit_upgrade = 1 AND p.related_id_implicit_upgrade = 0 AND "
                            "coalesce(a.row_status_implicit_upgrade, 0) NOT IN (2, 3)"),
              "5");
    EXPECT_EQ(Sql(strThird, "SELECT count(*) FROM officeworkflow.approve_process_node WHERE "
                            "row_status_implicit_upgrade = 1"),
              "5");

    // The rows the full pass derived from reviews are marked deleted and made anew.
    EXPECT_EQ(Sql(strSecond, "SELECT count(*) FROM officeworkflow.approve_process WHERE is_deleted = 1"), strConverted);
    EXPECT_EQ(Sql(strSecond, "SELECT count(*) FROM visitor.visitor_appoint_record WHERE is_deleted = 1 AND "
                             "appoint_approval_flow_id IN (SELECT process_num FROM officeworkflow.approve_process "
                             "WHERE is_deleted = 1)"),
              strConverted);
    EXPECT_EQ(Sql(strSecond, "SELECT count(*) FROM visitor.visitor_appoint_reveiw_record r JOIN "
                             "officeworkflow.approve_process p ON p.process_num = r.appoint_approval_flow_id AND "
                             "p.is_deleted = 0 JOIN visitor.visitor_appoint_record a ON a.appoint_approval_flow_id = "
                             "r.appoint_approval_flow_id AND a.is_deleted = 0"),
              strConverted);
}

TEST(ApprovalHost, RecordsPassKilledAtRandomMomentsConvertsEachRecordExactlyOnceAfterReruns) {
    VSU_REQUIRE_HOST();
    SDatabases dbs;
    const std::string strDb = dbs.Add("approval_crash");
    BuildReference(strDb, 4000, 2000);
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> delayMs(50, 800);
    int nKilledInside = 0;
    for (int nAttempt = 0; nAttempt < 6; ++nAttempt) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const std::string strCommand = "set -a; . '" + vsu_test::CTestServer::Directory() + "/env'; set +a; exec " +
                                           HostRun("records", strDb) + " >/dev/null 2>&1";
            execl("/bin/bash", "bash", "-c", strCommand.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(random)));
        int nStatus = 0;
        if (waitpid(pid, &nStatus, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &nStatus, 0);
            ++nKilledInside;
        } else if (WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) {
            break;  // a run completed before its kill came
        }
    }
    // The killed host's session (and its lock) ends with its connection.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string strOut;
    int nRc = 1;
    for (int nRerun = 0; nRerun < 5 && nRc != 0; ++nRerun) {
        nRc = Shell(HostRun("records", strDb), &strOut);
        if (nRc != 0) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    ASSERT_EQ(nRc, 0) << strOut;
    EXPECT_GT(nKilledInside, 0);
    EXPECT_EQ(Sql(strDb, "SELECT count(*) FROM visitor.visitor_appoint_record WHERE id <= 4000"), "4000");
    ExpectEachRecordConvertedOnce(strDb);
}

}  // namespace
