// Times the group fix-up of the step from 1.3.0 to 1.6.0 on one prepared
// database, two ways:
//   step CONNINFO CAPTURE    the step's records pass, called directly over a
//                            DBLayer connection that records every text it
//                            sends and how long each took (written to CAPTURE);
//   replay CONNINFO CAPTURE  the fix-up statements of CAPTURE (the texts that
//                            update the record tables), sent bare with libpq,
//                            one after the other, as the step sends them.
// Prints the seconds taken and the texts counted. Not part of any product build.
#include <libpq-fe.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Qarn/Base/LogSink.h"
#include "Upgrade/130To160/UpgradeFunc_160.h"
#include "db_layer/CConnect.h"

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void Die(const std::string& strWhat) {
    std::fprintf(stderr, "group_fixup_bench: %s\n", strWhat.c_str());
    std::exit(1);
}

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

struct SSent {
    double dSeconds;
    std::string strSql;
};

// The DBLayer connection the host would pass, noting each text and its time.
class CRecordingConnect : public db_layer::CConnect {
public:
    bool Execute(const std::string& strSql) override {
        return Timed(strSql, [&] { return db_layer::CConnect::Execute(strSql); });
    }
    bool Query(const std::string& strSql) override {
        return Timed(strSql, [&] { return db_layer::CConnect::Query(strSql); });
    }
    const std::vector<SSent>& Sent() const { return m_sent; }

private:
    // The base call is qualified: a pointer to the virtual member would come back here.
    template <class F>
    bool Timed(const std::string& strSql, F fnSend) {
        const Clock::time_point start = Clock::now();
        const bool bOk = fnSend();
        m_sent.push_back({Since(start), strSql});
        return bOk;
    }
    std::vector<SSent> m_sent;
};

// The fix-up statements update the record tables; the marker updates the status table.
bool IsFixUp(const std::string& strSql) { return strSql.rfind("update visitor.", 0) == 0; }

// Records: "<seconds> <length>\n<text>\n".
void WriteCapture(const std::string& strPath, const std::vector<SSent>& sent) {
    std::ofstream out(strPath, std::ios::binary);
    for (const SSent& s : sent) out << s.dSeconds << ' ' << s.strSql.size() << '\n' << s.strSql << '\n';
    if (!out) Die("cannot write " + strPath);
}

std::vector<SSent> ReadCapture(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    if (!in) Die("cannot read " + strPath);
    std::vector<SSent> sent;
    SSent s;
    size_t nLength = 0;
    while (in >> s.dSeconds >> nLength) {
        in.get();
        s.strSql.assign(nLength, '\0');
        in.read(&s.strSql[0], static_cast<std::streamsize>(nLength));
        in.get();
        if (!in) Die("truncated capture " + strPath);
        sent.push_back(s);
    }
    return sent;
}

int RunStep(const std::string& strConnInfo, const std::string& strCapture) {
    // The step's own lines (the index it makes) go to stderr; failures fail the run below.
    Qarn::Base::CLogSink::SetMinLevel(3);
    CRecordingConnect conn;
    if (!conn.Open(strConnInfo)) {
        std::string strError;
        conn.GetLastError(strError);
        Die(strError);
    }
    UnifiedUpgradeComponent::C130ToC160 step;
    int nCode = 0;
    std::string strText;
    const Clock::time_point start = Clock::now();
    if (!step.UpgradeCourse_Records(nCode, strText, nullptr, &conn, db_layer::DBParam()) || nCode != 0)
        Die("the step failed: " + std::to_string(nCode) + " " + strText);
    const double dSeconds = Since(start);
    double dFixUp = 0;
    int nFixUps = 0;
    for (const SSent& s : conn.Sent())
        if (IsFixUp(s.strSql)) dFixUp += s.dSeconds, ++nFixUps;
    WriteCapture(strCapture, conn.Sent());
    std::printf("%.3f %.3f %d %zu\n", dSeconds, dFixUp, nFixUps, conn.Sent().size());
    return 0;
}

int Replay(const std::string& strConnInfo, const std::string& strCapture) {
    PGconn* pConn = PQconnectdb(strConnInfo.c_str());
    if (PQstatus(pConn) != CONNECTION_OK) Die(PQerrorMessage(pConn));
    int nFixUps = 0;
    const Clock::time_point start = Clock::now();
    for (const SSent& s : ReadCapture(strCapture)) {
        if (!IsFixUp(s.strSql)) continue;
        PGresult* pResult = PQexec(pConn, s.strSql.c_str());
        if (PQresultStatus(pResult) != PGRES_COMMAND_OK) Die(s.strSql.substr(0, 80) + ": " + PQerrorMessage(pConn));
        PQclear(pResult);
        ++nFixUps;
    }
    const double dSeconds = Since(start);
    std::printf("%.3f %.3f %d %d\n", dSeconds, dSeconds, nFixUps, nFixUps);
    PQfinish(pConn);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string strMode = argc == 4 ? argv[1] : "";
    if (strMode == "step") return RunStep(argv[2], argv[3]);
    if (strMode == "replay") return Replay(argv[2], argv[3]);
    Die("usage: group_fixup_bench step|replay CONNINFO CAPTURE");
}
