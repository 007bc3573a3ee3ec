// The floor of the records pass: a bare libpq loop that sends the statements a
// captured host run sent on the connections of the records pass (the step's and
// the id source's), in the same order, each with one round trip, and reads
// every field of every row it gets back. Prints: statements seconds fields cpu_seconds.
//   approval_replay_floor CAPTURE CONNINFO [--as-sent]
// With --as-sent it sends them in the host's own round trips instead (a batch
// pipelined up to its synchronisation point, every other text alone): the time
// of the host's statements and round trips with a client that does no work,
// which no client work can beat.
#include <libpq-fe.h>
#include <poll.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

enum Kind { kAlone = 0, kInBatch = 1, kBatchEnd = 2 };

struct SStatement {
    int nConn;
    int nKind;
    std::string strText;
};

bool ReadCapture(const char* szPath, std::vector<SStatement>& vecOut) {
    std::ifstream in(szPath, std::ios::binary);
    if (!in) return false;
    int nConn = 0;
    int nKind = 0;
    std::size_t nLength = 0;
    while (in >> nConn >> nKind >> nLength) {
        in.get();  // the newline after the header
        std::string strText(nLength, '\0');
        in.read(&strText[0], static_cast<std::streamsize>(nLength));
        in.get();
        vecOut.push_back({nConn, nKind, strText});
    }
    return true;
}

// The connections the records pass works on: the one that walks the
// appointment table and the one the id source draws from.
std::set<int> PassConnections(const std::vector<SStatement>& vecAll) {
    std::set<int> setOut;
    for (const SStatement& s : vecAll)
        if (s.strText.find("SELECT max(id) FROM visitor.visitor_appoint_record") != std::string::npos ||
            s.strText.find("::text AS id") != std::string::npos)
            setOut.insert(s.nConn);
    return setOut;
}

// Reads every result of the text(s) sent last, counting the fields that hold a
// value; false on the first failure.
bool ReadResults(PGconn* pConn, std::size_t nTexts, std::size_t& nFields) {
    std::size_t nDone = 0;
    while (nDone < nTexts) {
        PGresult* pResult = PQgetResult(pConn);
        if (pResult == nullptr) {
            ++nDone;
            continue;
        }
        const ExecStatusType status = PQresultStatus(pResult);
        if (status == PGRES_FATAL_ERROR || status == PGRES_PIPELINE_ABORTED) {
            std::cerr << "a statement failed: " << PQresultErrorMessage(pResult);
            PQclear(pResult);
            return false;
        }
        for (int r = 0; r < PQntuples(pResult); ++r)
            for (int c = 0; c < PQnfields(pResult); ++c) nFields += PQgetvalue(pResult, r, c)[0] != '\0';
        PQclear(pResult);
    }
    return true;
}

// One batch in one round trip, as the host sends it: the texts pipelined, then
// the synchronisation point. Input is read while the texts go out, so neither
// side can wait on a full socket.
bool SendBatch(PGconn* pConn, const std::vector<const std::string*>& vecTexts, std::size_t& nFields) {
    if (PQenterPipelineMode(pConn) == 0 || PQsetnonblocking(pConn, 1) != 0) return false;
    for (const std::string* pText : vecTexts)
        if (PQsendQueryParams(pConn, pText->c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0) == 0) return false;
    if (PQpipelineSync(pConn) == 0) return false;
    int nFlush = 0;
    while ((nFlush = PQflush(pConn)) == 1) {
        pollfd fd{PQsocket(pConn), POLLIN | POLLOUT, 0};
        if (::poll(&fd, 1, -1) < 0 || PQconsumeInput(pConn) == 0) return false;
    }
    if (nFlush < 0) return false;
    PQsetnonblocking(pConn, 0);
    if (!ReadResults(pConn, vecTexts.size(), nFields)) return false;
    PGresult* pSync = PQgetResult(pConn);
    const bool bSynced = PQresultStatus(pSync) == PGRES_PIPELINE_SYNC;
    PQclear(pSync);
    return bSynced && PQexitPipelineMode(pConn) != 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool bAsSent = argc == 4 && std::string(argv[3]) == "--as-sent";
    if (argc != 3 && !bAsSent) {
        std::cerr << "usage: approval_replay_floor CAPTURE CONNINFO [--as-sent]\n";
        return 2;
    }
    std::vector<SStatement> vecAll;
    if (!ReadCapture(argv[1], vecAll)) {
        std::cerr << "cannot read " << argv[1] << "\n";
        return 2;
    }
    const std::set<int> setPass = PassConnections(vecAll);
    std::map<int, PGconn*> conns;
    for (int nConn : setPass) {
        PGconn* pConn = PQconnectdb(argv[2]);
        if (PQstatus(pConn) != CONNECTION_OK) {
            std::cerr << PQerrorMessage(pConn);
            return 1;
        }
        PQexec(pConn, "SET standard_conforming_strings = on");
        conns[nConn] = pConn;
    }
    // The pass's statements start with the step's status query.
    std::size_t nFirst = 0;
    while (nFirst < vecAll.size() &&
           (setPass.count(vecAll[nFirst].nConn) == 0 ||
            vecAll[nFirst].strText.find("version_no = '1.12.0'") == std::string::npos))
        ++nFirst;

    std::size_t nSent = 0;
    std::size_t nFields = 0;
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    std::map<int, std::vector<const std::string*>> batches;  // per connection, the batch being gathered
    for (std::size_t i = nFirst; i < vecAll.size(); ++i) {
        const SStatement& s = vecAll[i];
        if (setPass.count(s.nConn) == 0) continue;
        PGconn* pConn = conns[s.nConn];
        if (bAsSent && s.nKind == kInBatch) {
            batches[s.nConn].push_back(&s.strText);
            continue;
        }
        if (bAsSent && s.nKind == kBatchEnd) {
            if (!SendBatch(pConn, batches[s.nConn], nFields)) {
                std::cerr << "batch before statement " << i << " failed: " << PQerrorMessage(pConn);
                return 1;
            }
            nSent += batches[s.nConn].size();
            batches[s.nConn].clear();
            continue;
        }
        if (s.nKind == kBatchEnd) continue;
        if (!PQsendQuery(pConn, s.strText.c_str()) || !ReadResults(pConn, 1, nFields)) {
            std::cerr << "statement " << i << " failed: " << PQerrorMessage(pConn);
            return 1;
        }
        ++nSent;
    }
    for (const auto& batch : batches)
        if (!batch.second.empty()) {
            std::cerr << "the capture ends inside a batch\n";
            return 1;
        }
    const double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    auto cpu = [](const rusage& u) {
        return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    };
    for (auto& conn : conns) PQfinish(conn.second);
    std::printf("%zu %.3f %zu %.3f\n", nSent, dSeconds, nFields, cpu(after) - cpu(before));
    return 0;
}
