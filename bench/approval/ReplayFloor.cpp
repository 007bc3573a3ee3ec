// The floor of the records pass: a bare libpq loop that sends the statements a
// captured host run sent on the connections of the records pass (the step's and
// the id source's), in the same order, each with one round trip, and reads
// every field of every row it gets back. Prints: statements seconds fields cpu_seconds.
//   approval_replay_floor CAPTURE CONNINFO
#include <libpq-fe.h>
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

struct SStatement {
    int nConn;
    std::string strText;
};

bool ReadCapture(const char* szPath, std::vector<SStatement>& vecOut) {
    std::ifstream in(szPath, std::ios::binary);
    if (!in) return false;
    int nConn = 0;
    std::size_t nLength = 0;
    while (in >> nConn >> nLength) {
        in.get();  // the newline after the header
        std::string strText(nLength, '\0');
        in.read(&strText[0], static_cast<std::streamsize>(nLength));
        in.get();
        vecOut.push_back({nConn, strText});
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

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: approval_replay_floor CAPTURE CONNINFO\n";
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
    for (std::size_t i = nFirst; i < vecAll.size(); ++i) {
        const SStatement& s = vecAll[i];
        if (setPass.count(s.nConn) == 0) continue;
        PGconn* pConn = conns[s.nConn];
        if (!PQsendQuery(pConn, s.strText.c_str())) {
            std::cerr << PQerrorMessage(pConn);
            return 1;
        }
        while (PGresult* pResult = PQgetResult(pConn)) {
            const ExecStatusType status = PQresultStatus(pResult);
            if (status == PGRES_FATAL_ERROR) {
                std::cerr << "statement " << i << " failed: " << PQresultErrorMessage(pResult);
                return 1;
            }
            for (int r = 0; r < PQntuples(pResult); ++r)
                for (int c = 0; c < PQnfields(pResult); ++c) nFields += PQgetvalue(pResult, r, c)[0] != '\0';
            PQclear(pResult);
        }
        ++nSent;
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
