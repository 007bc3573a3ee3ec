// Times the copy of rt_data.visitor_record into visitor.visitor_record several
// ways on one prepared database (configuration pass from 0.0.0 done):
//   1. the records pass of the visitor-upgrade command, up to the moment the
//      first step's finished marker shows (the host is then killed, so the
//      later steps do not count; its peak memory is read just before); 1b the
//      same with --bulk (one set statement per range);
//   2. the floor: a bare libpq loop sending the same statement texts, one
//      INSERT per row, one transaction per range of 10001 ids with the
//      progress update inside, exactly as the step does; run once before and
//      once after 1, so that a drift of the machine's load hits both sides;
//   3. the limit: one INSERT ... SELECT inside the server;
//   4. the host's records pass again with one more record at the largest id,
//      far above the others: what the empty ranges in between cost.
// The target table is emptied before each copy. CPU seconds of the copying
// process (host or loop) are reported beside. Not part of any product build.
//
//   visitor_record_bench CONNINFO HOST_COMMAND WORKDIR
#include <fcntl.h>
#include <libpq-fe.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void Die(const std::string& strWhat) {
    std::fprintf(stderr, "visitor_record_bench: %s\n", strWhat.c_str());
    std::exit(1);
}

PGresult* Run(PGconn* pConn, const std::string& strSql, ExecStatusType eExpected) {
    PGresult* pResult = PQexec(pConn, strSql.c_str());
    if (PQresultStatus(pResult) != eExpected) Die(strSql.substr(0, 200) + ": " + PQerrorMessage(pConn));
    return pResult;
}

void Exec(PGconn* pConn, const std::string& strSql) { PQclear(Run(pConn, strSql, PGRES_COMMAND_OK)); }

std::string Scalar(PGconn* pConn, const std::string& strSql) {
    PGresult* pResult = Run(pConn, strSql, PGRES_TUPLES_OK);
    std::string strValue = PQntuples(pResult) > 0 && !PQgetisnull(pResult, 0, 0) ? PQgetvalue(pResult, 0, 0) : "";
    PQclear(pResult);
    return strValue;
}

long long CopiedRows(PGconn* pConn) {
    return std::atoll(Scalar(pConn, "SELECT count(*) FROM visitor.visitor_record v JOIN rt_data.visitor_record r"
                                    " USING (object_guid)").c_str());
}

// Peak resident set of a running process, in KiB.
long PeakKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string strLine;
    while (std::getline(status, strLine))
        if (strLine.rfind("VmHWM:", 0) == 0) return std::atol(strLine.c_str() + 6);
    return -1;
}

// 1. The host's records pass until the first step's finished marker is seen.
double CpuSeconds(const rusage& usage) {
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct STimed {
    double dSeconds = 0;
    double dCpu = 0;
};

STimed TimeHost(PGconn* pConn, const std::string& strConnInfo, const std::string& strHost,
                const std::string& strWorkdir, bool bBulk, long& nPeakKiB) {
    // The previous run's progress and finished marker would read as a copy under way or done.
    Exec(pConn, "UPDATE platform.module_version_status SET status = 0, schedule = 0, rate_progress = 0, step_ver = "
                "'0.0.0' WHERE module_identity = 'visitor.s'");
    const std::string strStepVer =
        "SELECT coalesce(max(step_ver), '') FROM platform.module_version_status WHERE module_identity = 'visitor.s'";
    if (Scalar(pConn, strStepVer) != "0.0.0") Die("the database is not at 0.0.0");
    const Clock::time_point start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        // The host's progress line and log stay out of the report.
        const int nNull = open("/dev/null", O_WRONLY);
        dup2(nNull, STDOUT_FILENO);
        dup2(nNull, STDERR_FILENO);
        execl(strHost.c_str(), strHost.c_str(), "run", "--from", "0.0.0", "--pass", "records", "--db1",
              strConnInfo.c_str(), "--workdir", strWorkdir.c_str(), "--log-level", "5", bBulk ? "--bulk" : nullptr,
              static_cast<char*>(nullptr));
        _exit(127);
    }
    Clock::time_point end;
    nPeakKiB = -1;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const long nPeak = PeakKiB(pid);
        if (Scalar(pConn, strStepVer) != "0.0.0") {
            end = Clock::now();
            nPeakKiB = nPeak;
            break;
        }
        int nStatus = 0;
        if (waitpid(pid, &nStatus, WNOHANG) == pid) Die("the host ended before the first step finished");
    }
    kill(pid, SIGKILL);
    rusage usage{};
    int nStatus = 0;
    wait4(pid, &nStatus, 0, &usage);
    return {std::chrono::duration<double>(end - start).count(), CpuSeconds(usage)};
}

std::string Quoted(const char* szValue) {
    std::string strOut = "'";
    for (const char* p = szValue; *p; ++p) {
        if (*p == '\'') strOut += '\'';
        strOut += *p;
    }
    return strOut + "'";
}

// 2. The floor: the step's statements with nothing in between.
STimed TimeLoop(PGconn* pConn) {
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const char* const szColumns[] = {"object_guid", "visitor_id", "interviewee_id", "visit_reason",
                                     "visit_reason_detail", "visitor_status", "start_valid_time", "end_valid_time",
                                     "create_time", "update_time", "start_time_differ", "end_time_differ",
                                     "temper", "temper_status", "is_deleted"};
    const bool bText[] = {true, false, false, false, true, false, true, true, true, true, false, false, true, false,
                          false};
    const Clock::time_point start = Clock::now();
    const long long nMax = std::atoll(Scalar(pConn, "SELECT max(id) FROM rt_data.visitor_record;").c_str());
    long long nStart = std::atoll(Scalar(pConn, "SELECT min(id) FROM rt_data.visitor_record;").c_str());
    char szSql[256];
    for (; nStart <= nMax; nStart += 10001) {
        std::snprintf(szSql, sizeof szSql, "SELECT * FROM rt_data.visitor_record WHERE id between %lld and %lld;",
                      nStart, nStart + 10000);
        PGresult* pRows = Run(pConn, szSql, PGRES_TUPLES_OK);
        const int nRows = PQntuples(pRows);
        if (nRows == 0) {
            PQclear(pRows);
            continue;
        }
        int nColumn[15];
        for (int c = 0; c < 15; ++c) nColumn[c] = PQfnumber(pRows, szColumns[c]);
        Exec(pConn, "BEGIN");
        for (int r = 0; r < nRows; ++r) {
            std::string strSql =
                "INSERT INTO visitor.visitor_record(object_guid, visitor_id, interviewee_id, visit_reason, "
                "visit_reason_detail, visitor_status, start_valid_time, end_valid_time, create_time, update_time, "
                "start_time_differ, end_time_differ,temper,temper_status, is_deleted)VALUES (";
            for (int c = 0; c < 15; ++c) {
                const char* szValue = PQgetvalue(pRows, r, nColumn[c]);
                strSql += bText[c] ? Quoted(szValue) : std::string(szValue);
                strSql += c == 14 ? ")" : (c == 11 || c == 12) ? "," : ", ";
            }
            Exec(pConn, strSql);
        }
        std::snprintf(szSql, sizeof szSql,
                      "UPDATE platform.module_version_status SET schedule = 0, rate_progress = %lld WHERE "
                      "module_identity = 'visitor.s';",
                      nStart + 10001);
        Exec(pConn, szSql);
        Exec(pConn, "COMMIT");
        PQclear(pRows);
    }
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    return {std::chrono::duration<double>(Clock::now() - start).count(), CpuSeconds(after) - CpuSeconds(before)};
}

// 3. The limit: the copy as one statement inside the server.
double TimeSetBased(PGconn* pConn) {
    const std::string strColumns =
        "object_guid, visitor_id, interviewee_id, visit_reason, visit_reason_detail, visitor_status, "
        "start_valid_time, end_valid_time, create_time, update_time, start_time_differ, end_time_differ, temper, "
        "temper_status, is_deleted";
    const Clock::time_point start = Clock::now();
    Exec(pConn, "INSERT INTO visitor.visitor_record (" + strColumns + ") SELECT " + strColumns +
                    " FROM rt_data.visitor_record");
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) Die("usage: visitor_record_bench CONNINFO HOST_COMMAND WORKDIR");
    PGconn* pConn = PQconnectdb(argv[1]);
    if (PQstatus(pConn) != CONNECTION_OK) Die(PQerrorMessage(pConn));
    const long long nRows = std::atoll(Scalar(pConn, "SELECT count(*) FROM rt_data.visitor_record").c_str());
    const std::string strEmpty = "TRUNCATE visitor.visitor_record";

    // Settled tables: no autovacuum or hint-bit writes of the fresh seed in the first measurement only.
    Exec(pConn, "VACUUM (FREEZE, ANALYZE) rt_data.visitor_record");
    Exec(pConn, "VACUUM ANALYZE visitor.visitor_record");
    Exec(pConn, "CHECKPOINT");

    long nPeakKiB = -1;
    auto check = [&](const char* szWho) {
        if (CopiedRows(pConn) != nRows) Die(std::string(szWho) + " did not copy every row");
        Exec(pConn, strEmpty);
    };
    const STimed loopBefore = TimeLoop(pConn);
    check("the loop");
    const STimed host = TimeHost(pConn, argv[1], argv[2], argv[3], false, nPeakKiB);
    check("the host");
    long nBulkPeakKiB = -1;
    const STimed bulk = TimeHost(pConn, argv[1], argv[2], argv[3], true, nBulkPeakKiB);
    check("the host with --bulk");
    const STimed loopAfter = TimeLoop(pConn);
    check("the loop");
    const double dSet = TimeSetBased(pConn);
    if (CopiedRows(pConn) != nRows) Die("the set-based copy did not copy every row");

    Exec(pConn, strEmpty);
    Exec(pConn, "INSERT INTO rt_data.visitor_record SELECT 2147483647, object_guid || '-top', visitor_id, interviewee_id,"
                " visit_reason, visit_reason_detail, visitor_status, start_valid_time, end_valid_time, create_time,"
                " update_time, start_time_differ, end_time_differ, temper, temper_status, is_deleted"
                " FROM rt_data.visitor_record ORDER BY id LIMIT 1");
    long nOutlierPeakKiB = -1;
    const STimed outlier = TimeHost(pConn, argv[1], argv[2], argv[3], false, nOutlierPeakKiB);
    const bool bOutlierCopied = CopiedRows(pConn) == nRows + 1;
    Exec(pConn, "DELETE FROM rt_data.visitor_record WHERE id = 2147483647");
    if (!bOutlierCopied) Die("the host did not copy every row with the record at the largest id");

    const double dLoop = (loopBefore.dSeconds + loopAfter.dSeconds) / 2;
    const double r1 = nRows / host.dSeconds, r1b = nRows / bulk.dSeconds, r2 = nRows / dLoop, r3 = nRows / dSet;
    std::printf("rows %lld | 1 host %.0f rows/s (%.2f s, cpu %.1f us/row, peak %ld KiB) | 1b host --bulk %.0f rows/s "
                "(%.2f s, peak %ld KiB) | 2 libpq loop %.0f rows/s (%.2f s before, %.2f s after, cpu %.1f us/row) | "
                "3 INSERT ... SELECT %.0f rows/s (%.2f s) | 1/2 = %.2f | 1b/2 = %.1f | 3/1b = %.2f | 3/1 = %.1f | "
                "4 host with one more record at id 2147483647 %.2f s, 4/1 = %.2f\n",
                nRows, r1, host.dSeconds, host.dCpu * 1e6 / nRows, nPeakKiB, r1b, bulk.dSeconds, nBulkPeakKiB, r2,
                loopBefore.dSeconds, loopAfter.dSeconds, (loopBefore.dCpu + loopAfter.dCpu) * 1e6 / 2 / nRows, r3,
                dSet, r1 / r2, r1b / r2, r3 / r1b, r3 / r1, outlier.dSeconds, outlier.dSeconds / host.dSeconds);
    PQfinish(pConn);
    return 0;
}
