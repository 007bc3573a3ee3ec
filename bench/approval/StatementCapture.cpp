// Preloaded into the host (LD_PRELOAD) by the benchmark: records every text the
// process sends with libpq's PQsendQuery (one text at a time) or
// PQsendQueryParams (the statements of a batch), in order, with the connection
// it went to and how it went, and every PQpipelineSync (the end of a batch),
// into the file named by VSU_CAPTURE. The records let the bare libpq loop send
// the very same statements one by one, or in the host's own round trips. Not
// part of any product build.
#include <dlfcn.h>
#include <libpq-fe.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

namespace {

std::mutex g_mutex;
std::map<const PGconn*, int> g_connections;
std::FILE* g_pFile = nullptr;

using SendQuery = int (*)(PGconn*, const char*);
using PipelineSync = int (*)(PGconn*);
using SendQueryParams = int (*)(PGconn*, const char*, int, const Oid*, const char* const*, const int*, const int*,
                                int);

// How a record went out: alone, as a member of a batch, or the end of a batch.
enum Kind { kAlone = 0, kInBatch = 1, kBatchEnd = 2 };

void Record(const PGconn* pConn, Kind kind, const char* szQuery) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_pFile == nullptr) {
        const char* szPath = std::getenv("VSU_CAPTURE");
        g_pFile = std::fopen(szPath != nullptr ? szPath : "/dev/null", "w");
    }
    auto it = g_connections.emplace(pConn, static_cast<int>(g_connections.size())).first;
    // "<connection> <kind> <length>\n<text>\n": texts may hold newlines.
    std::fprintf(g_pFile, "%d %d %zu\n", it->second, static_cast<int>(kind), std::char_traits<char>::length(szQuery));
    std::fwrite(szQuery, 1, std::char_traits<char>::length(szQuery), g_pFile);
    std::fputc('\n', g_pFile);
    std::fflush(g_pFile);
}

}  // namespace

extern "C" int PQsendQuery(PGconn* pConn, const char* szQuery) {
    static SendQuery fnReal = reinterpret_cast<SendQuery>(dlsym(RTLD_NEXT, "PQsendQuery"));
    Record(pConn, kAlone, szQuery);
    return fnReal(pConn, szQuery);
}

extern "C" int PQsendQueryParams(PGconn* pConn, const char* szQuery, int nParams, const Oid* pTypes,
                                 const char* const* pValues, const int* pLengths, const int* pFormats,
                                 int nResultFormat) {
    static SendQueryParams fnReal = reinterpret_cast<SendQueryParams>(dlsym(RTLD_NEXT, "PQsendQueryParams"));
    Record(pConn, kInBatch, szQuery);
    return fnReal(pConn, szQuery, nParams, pTypes, pValues, pLengths, pFormats, nResultFormat);
}

extern "C" int PQpipelineSync(PGconn* pConn) {
    static PipelineSync fnReal = reinterpret_cast<PipelineSync>(dlsym(RTLD_NEXT, "PQpipelineSync"));
    Record(pConn, kBatchEnd, "");
    return fnReal(pConn);
}
