#include "StatementTrace.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <mutex>

namespace db_layer {

namespace {

struct STraceState {
    std::mutex mutex;
    int nFd = -1;
    std::map<std::string, int> mapOpened;  // connections opened so far, per database
};

STraceState* State()
{
    // Opened once, never closed: connections may close during static destruction.
    static STraceState* pState = [] {
        const char* szPath = std::getenv("VSU_STATEMENT_TRACE");
        if (szPath == nullptr || *szPath == '\0')
            return static_cast<STraceState*>(nullptr);
        auto* pNew = new STraceState();
        pNew->nFd = ::open(szPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        return pNew;
    }();
    return pState != nullptr && pState->nFd >= 0 ? pState : nullptr;
}

}  // namespace

bool CStatementTrace::IsOn()
{
    return State() != nullptr;
}

std::string CStatementTrace::LabelFor(const std::string& strDatabase)
{
    STraceState* pState = State();
    if (pState == nullptr)
        return std::string();
    std::string strLabel;
    {
        std::lock_guard<std::mutex> lock(pState->mutex);
        strLabel = strDatabase + "#" + std::to_string(++pState->mapOpened[strDatabase]);
    }
    // A reader of the trace tells the caller's own connections from those of
    // helper threads (a host's progress monitor), whose statements follow the clock.
    const bool bMainThread = ::syscall(SYS_gettid) == ::getpid();
    Write(strLabel, "open", bMainThread ? "main thread" : "other thread");
    return strLabel;
}

void CStatementTrace::Write(const std::string& strLabel, const char* szKind, const std::string& strText)
{
    STraceState* pState = State();
    if (pState == nullptr || strLabel.empty())
        return;
    std::string strLine = strLabel + " " + szKind;
    if (!strText.empty())
        strLine += ' ';
    for (char c : strText) {
        if (c == '\\')
            strLine += "\\\\";
        else if (c == '\n')
            strLine += "\\n";
        else if (c == '\r')
            strLine += "\\r";
        else
            strLine += c;
    }
    strLine += '\n';
    // One write per line under the lock: lines of threads (and, with O_APPEND, of processes) never mix.
    std::lock_guard<std::mutex> lock(pState->mutex);
    const char* p = strLine.data();
    size_t nLeft = strLine.size();
    while (nLeft > 0) {
        const ssize_t nWritten = ::write(pState->nFd, p, nLeft);
        if (nWritten <= 0)
            return;  // a trace that cannot be written never fails the connection
        p += nWritten;
        nLeft -= static_cast<size_t>(nWritten);
    }
}

}  // namespace db_layer
