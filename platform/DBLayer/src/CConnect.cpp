// CConnect over libpq. Every call sends its whole text with the simple query
// protocol and reads every result before it returns, so nothing is left pending
// on the connection; only the last result is kept as the cursor. A batch is
// sent in pipeline mode and likewise read to its end before the call returns.
#include "db_layer/CConnect.h"

#include <libpq-fe.h>
#include <poll.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "StatementTrace.h"
#include "db_layer/ErrorCodes.h"

namespace db_layer {

namespace {

struct SResultDeleter {
    void operator()(PGresult* pResult) const { PQclear(pResult); }
};
using ResultPtr = std::unique_ptr<PGresult, SResultDeleter>;

// Notices (e.g. "table does not exist, skipping" of DROP ... IF EXISTS in
// delivered scripts) are not failures; libpq would print them to stderr.
void IgnoreNotice(void*, const char*) {}

std::string TrimTrailing(std::string strText)
{
    while (!strText.empty() && (strText.back() == '\n' || strText.back() == ' ' || strText.back() == '\r'))
        strText.pop_back();
    return strText;
}

// Line of the statement text at a 1-based character position (the server counts
// characters; the client encoding is UTF-8).
int LineOfPosition(const std::string& strSql, long nPosition)
{
    int nLine = 1;
    long nChar = 0;
    for (size_t i = 0; i < strSql.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(strSql[i]);
        if ((c & 0xC0) == 0x80)
            continue;  // continuation byte of a multi-byte character
        if (++nChar >= nPosition)
            break;
        if (c == '\n')
            ++nLine;
    }
    return nLine;
}

bool ParseInt32(const char* szValue, int& nValue)
{
    const char* p = szValue;
    if (*p == '+' || *p == '-')
        ++p;
    if (*p == '\0')
        return false;
    for (const char* q = p; *q != '\0'; ++q) {
        if (*q < '0' || *q > '9')
            return false;
    }
    errno = 0;
    char* pEnd = nullptr;
    const long long nWide = std::strtoll(szValue, &pEnd, 10);
    if (errno == ERANGE || *pEnd != '\0' || nWide < std::numeric_limits<int>::min() ||
        nWide > std::numeric_limits<int>::max())
        return false;
    nValue = static_cast<int>(nWide);
    return true;
}

// Sorts one result of a statement: its first error is kept (a later one of the
// same statement only follows from it), otherwise its last answer.
void KeepResult(ResultPtr pOne, ResultPtr& pFirstError, ResultPtr& pLast)
{
    switch (PQresultStatus(pOne.get())) {
    case PGRES_BAD_RESPONSE:
    case PGRES_FATAL_ERROR:
    case PGRES_NONFATAL_ERROR:
        if (!pFirstError)
            pFirstError = std::move(pOne);
        break;
    default:
        pLast = std::move(pOne);
        break;
    }
}

}  // namespace

struct CConnect::SImpl {
    PGconn* pConn = nullptr;
    ResultPtr pResult;  // the cursor: last result of the last Query
    int nRow = 0;
    // Column positions of the cursor's result by the names asked so far: a
    // reader asks the same names on every row, and each is looked up once.
    std::unordered_map<std::string, int> mapColumns;
    int nLastCode = ErrorCode::kNone;
    std::string strLastText;
    // A read that could not be answered; the next statement is refused once.
    bool bReadFailed = false;
    long long nAffected = 0;  // of the last successful Run
    std::string strTraceLabel;  // empty unless the statement trace is on

    // Traces the call, runs it, and traces the failure's code.
    template <typename Call>
    bool Traced(const char* szKind, const std::string& strText, Call call)
    {
        CStatementTrace::Write(strTraceLabel, szKind, strText);
        const bool bOk = call();
        if (!bOk)
            CStatementTrace::Write(strTraceLabel, "failed", std::to_string(nLastCode));
        return bOk;
    }

    void Fail(int nCode, std::string strText)
    {
        nLastCode = nCode;
        strLastText = std::move(strText);
    }

    void FailRead(const std::string& strText)
    {
        Fail(ErrorCode::kUnreadableValue, strText);
        bReadFailed = true;
    }

    bool HasRow() const { return pResult && nRow < PQntuples(pResult.get()); }

    void SetCursor(ResultPtr pNew)
    {
        pResult = std::move(pNew);
        nRow = 0;
        mapColumns.clear();
    }

    // Column index by exact name, then case-insensitively; -1 when absent.
    int ColumnIndex(const std::string& strColumn)
    {
        if (!pResult)
            return -1;
        const auto it = mapColumns.find(strColumn);
        if (it != mapColumns.end())
            return it->second;
        const int nFields = PQnfields(pResult.get());
        int nFound = -1;
        for (int i = 0; i < nFields && nFound < 0; ++i) {
            if (strColumn == PQfname(pResult.get(), i))
                nFound = i;
        }
        for (int i = 0; i < nFields && nFound < 0; ++i) {
            if (strcasecmp(strColumn.c_str(), PQfname(pResult.get(), i)) == 0)
                nFound = i;
        }
        mapColumns.emplace(strColumn, nFound);
        return nFound;
    }

    // Checks that a field can be read; records the failure otherwise. The
    // column's description is made only for the failure's text.
    template <typename Describe>
    bool CanRead(int nColumn, Describe describe)
    {
        if (!HasRow()) {
            FailRead("cannot read column " + describe() + ": there is no current row");
            return false;
        }
        if (nColumn < 0 || nColumn >= PQnfields(pResult.get())) {
            FailRead("cannot read column " + describe() + ": the result has no such column");
            return false;
        }
        return true;
    }

    std::string ServerErrorText(const PGresult* pError, const std::string& strSql) const
    {
        const char* szPrimary = PQresultErrorField(pError, PG_DIAG_MESSAGE_PRIMARY);
        std::string strText;
        if (szPrimary != nullptr)
            strText = szPrimary;
        else
            strText = TrimTrailing(PQresultErrorMessage(pError));
        if (strText.empty() && pConn != nullptr)
            strText = TrimTrailing(PQerrorMessage(pConn));
        if (const char* szDetail = PQresultErrorField(pError, PG_DIAG_MESSAGE_DETAIL))
            strText += std::string("; detail: ") + szDetail;
        if (const char* szHint = PQresultErrorField(pError, PG_DIAG_MESSAGE_HINT))
            strText += std::string("; hint: ") + szHint;
        if (const char* szContext = PQresultErrorField(pError, PG_DIAG_CONTEXT))
            strText += std::string("; context: ") + szContext;
        // In a script of many lines the line is what an operator needs to find the statement.
        const char* szPosition = PQresultErrorField(pError, PG_DIAG_STATEMENT_POSITION);
        if (szPosition != nullptr && strSql.find('\n') != std::string::npos)
            strText += "; at line " + std::to_string(LineOfPosition(strSql, std::atol(szPosition)));
        if (const char* szState = PQresultErrorField(pError, PG_DIAG_SQLSTATE))
            strText += std::string(" (SQLSTATE ") + szState + ")";
        return strText;
    }

    // Records the failure of a call: a server error by its SQLSTATE, a broken
    // connection as lost whatever the server said last.
    void FailFromResult(const PGresult* pError, const std::string& strSql)
    {
        std::string strText = pError != nullptr ? ServerErrorText(pError, strSql)
                                                : TrimTrailing(PQerrorMessage(pConn));
        if (PQstatus(pConn) == CONNECTION_BAD) {
            Fail(ErrorCode::kConnectionLost, "the connection to the server was lost: " + strText);
            return;
        }
        const char* szState = pError != nullptr ? PQresultErrorField(pError, PG_DIAG_SQLSTATE) : nullptr;
        const int nCode = SqlStateToCode(szState);
        if (nCode != 0)
            Fail(nCode, strText);
        else
            Fail(ErrorCode::kNoResult, "the server gave no usable result: " + strText);
    }

    // What must hold before a text is sent; false with the failure recorded.
    bool CanSend(const std::string& strSql)
    {
        SetCursor(nullptr);
        nAffected = 0;
        if (pConn == nullptr) {
            Fail(ErrorCode::kNoConnection, "the connection is not open");
            return false;
        }
        if (bReadFailed) {
            // The caller read a value that was not there or not a number and
            // would now act on a wrong one; the recorded read failure stands.
            bReadFailed = false;
            return false;
        }
        if (strSql.empty()) {
            Fail(ErrorCode::kEmptyStatement, "the statement text is empty");
            return false;
        }
        if (PQstatus(pConn) == CONNECTION_BAD) {
            Fail(ErrorCode::kConnectionLost,
                 "the connection to the server was lost: " + TrimTrailing(PQerrorMessage(pConn)));
            return false;
        }
        return true;
    }

    // The failure of a text the server answered with no result at all.
    void FailNoResult(const std::string& strSql)
    {
        FailFromResult(nullptr, strSql);
        if (nLastCode != ErrorCode::kConnectionLost)
            Fail(ErrorCode::kNoResult, "the server gave no result: " + TrimTrailing(PQerrorMessage(pConn)));
    }

    // Sends the whole text and reads every result. The first error decides the
    // outcome; the last successful result becomes the cursor when bKeepRows.
    bool Run(const std::string& strSql, bool bKeepRows)
    {
        if (!CanSend(strSql))
            return false;
        if (PQsendQuery(pConn, strSql.c_str()) == 0) {
            FailFromResult(nullptr, strSql);
            return false;
        }
        ResultPtr pFirstError;
        ResultPtr pLast;
        bool bAnyResult = false;
        while (PGresult* pRaw = PQgetResult(pConn)) {
            ResultPtr pOne(pRaw);
            bAnyResult = true;
            switch (PQresultStatus(pRaw)) {
            case PGRES_COPY_IN:
                // No data can be supplied here: end the copy so the server fails it.
                PQputCopyEnd(pConn, "COPY FROM STDIN is not supported by this connection");
                break;
            case PGRES_COPY_OUT: {
                char* pBuffer = nullptr;
                while (PQgetCopyData(pConn, &pBuffer, 0) > 0)
                    PQfreemem(pBuffer);
                break;
            }
            default:
                KeepResult(std::move(pOne), pFirstError, pLast);
                break;
            }
        }
        if (pFirstError) {
            FailFromResult(pFirstError.get(), strSql);
            return false;
        }
        if (!bAnyResult) {
            FailNoResult(strSql);
            return false;
        }
        if (pLast && !bKeepRows)
            nAffected = std::atoll(PQcmdTuples(pLast.get()));
        if (bKeepRows)
            SetCursor(std::move(pLast));
        return true;
    }

    // Text i of a batch, made (if it is made) when first asked for.
    using TextAt = std::function<const std::string&(std::size_t)>;
    std::size_t RunBatch(std::size_t nTotal, const TextAt& textAt, const BatchReader& fnReader, CConnect& self);
    bool WaitForSocket(bool bToWrite);

    // A transaction command, checked against the server's transaction state.
    bool RunTransactionCommand(const char* szCommand)
    {
        if (pConn != nullptr && PQstatus(pConn) == CONNECTION_OK && !bReadFailed) {
            const PGTransactionStatusType eState = PQtransactionStatus(pConn);
            const bool bBegin = std::strcmp(szCommand, "BEGIN") == 0;
            if (bBegin && eState != PQTRANS_IDLE) {
                Fail(ErrorCode::kTransactionState,
                     "BEGIN refused: a transaction is already open on this connection");
                return false;
            }
            if (!bBegin && eState == PQTRANS_IDLE) {
                Fail(ErrorCode::kTransactionState,
                     std::string(szCommand) + " refused: there is no transaction in progress");
                return false;
            }
        }
        if (!Run(szCommand, true))
            return false;
        // The server answers COMMIT of a failed transaction with ROLLBACK.
        // A copy: the status text lives in the result, which the cursor lets go.
        const std::string strStatus = pResult ? PQcmdStatus(pResult.get()) : "";
        const char* szStatus = strStatus.c_str();
        SetCursor(nullptr);
        if (std::strcmp(szCommand, "COMMIT") == 0 && std::strcmp(szStatus, "ROLLBACK") == 0) {
            Fail(ErrorCode::kTransactionState,
                 "COMMIT failed: the transaction had failed before and was rolled back; none of its "
                 "statements took effect");
            return false;
        }
        return true;
    }
};

// Waits until the server sent something, or until libpq may write again.
bool CConnect::SImpl::WaitForSocket(bool bToWrite)
{
    pollfd poll_fd{PQsocket(pConn), static_cast<short>(POLLIN | (bToWrite ? POLLOUT : 0)), 0};
    if (poll_fd.fd < 0)
        return false;
    for (;;) {
        if (::poll(&poll_fd, 1, -1) >= 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

// Every text is queued at once (the connection is non-blocking, so libpq's
// buffer takes them all and nothing can wait on a full socket while the server
// waits on ours); libpq writes while the results are read. A statement counts
// when its results are complete: success, the first failure, or skipped after
// it. The trace gets each statement as it is answered, so statements skipped
// after a failure never show, as they would never have been sent one by one.
std::size_t CConnect::SImpl::RunBatch(std::size_t nTotal, const TextAt& textAt, const BatchReader& fnReader,
                                      CConnect& self)
{
    const char* szKind = fnReader ? "query" : "execute";
    auto traceFailed = [&](std::size_t nFailed) {
        CStatementTrace::Write(strTraceLabel, szKind, textAt(nFailed));
        CStatementTrace::Write(strTraceLabel, "failed", std::to_string(nLastCode));
        return nFailed;
    };
    if (nTotal == 0)
        return 0;
    if (!CanSend(textAt(0)))
        return traceFailed(0);
    if (PQsetnonblocking(pConn, 1) != 0 || PQenterPipelineMode(pConn) == 0) {
        PQsetnonblocking(pConn, 0);
        Fail(ErrorCode::kNoResult, "cannot send a batch: " + TrimTrailing(PQerrorMessage(pConn)));
        return traceFailed(0);
    }

    // The texts up to the first empty one are sent; the empty one then fails as
    // Execute would. They are queued about 64 kB at a time, each part once the
    // socket took the one before: the server works on the first texts while
    // the later ones are made, and libpq's output buffer stays small (a buffer
    // of a whole range costs a copy of all that is left at every write).
    const std::size_t kNone = nTotal;
    const std::size_t kPartBytes = 64 * 1024;
    std::size_t nQueued = 0;
    std::size_t nSend = nTotal;
    std::string strSendFailure;
    bool bQueuedAll = false;
    bool bBroken = false;
    std::size_t nFailed = kNone;
    auto queuePart = [&] {
        for (std::size_t nBytes = 0; !bQueuedAll && nBytes < kPartBytes; ++nQueued) {
            // After a failure the server skips the rest: nothing more is made.
            const bool bEnd = nQueued == nTotal || nFailed != kNone;
            const std::string* pText = bEnd ? nullptr : &textAt(nQueued);
            if (pText != nullptr && pText->empty())
                nSend = nQueued;
            else if (pText != nullptr &&
                     PQsendQueryParams(pConn, pText->c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0) == 0)
                strSendFailure = TrimTrailing(PQerrorMessage(pConn));
            else if (pText != nullptr) {
                nBytes += pText->size();
                continue;
            }
            bQueuedAll = true;
            bBroken = PQpipelineSync(pConn) == 0;
            return;
        }
    };

    std::size_t nDone = 0;
    bool bReadRefused = false;  // a reader's failed read refused statement nFailed
    ResultPtr pFailure;         // the server's error for statement nFailed, if it sent one
    ResultPtr pAnswer, pError;  // the results of statement nDone so far
    bool bSynced = false;
    auto complete = [&] {
        const std::size_t nThis = nDone++;
        if (nFailed != kNone)
            return;  // skipped after the failure: it took no effect
        CStatementTrace::Write(strTraceLabel, szKind, textAt(nThis));
        if (pError || !pAnswer) {
            nFailed = nThis;
            pFailure = std::move(pError);
            return;
        }
        if (!fnReader)
            return;
        SetCursor(std::move(pAnswer));
        fnReader(nThis, self);
        if (bReadFailed && nThis + 1 < nTotal) {
            // One by one, the read failure would have refused the next statement.
            bReadFailed = false;
            bReadRefused = true;
            nFailed = nThis + 1;
            CStatementTrace::Write(strTraceLabel, szKind, textAt(nFailed));
        }
    };
    auto drain = [&] {
        while (!bSynced && !PQisBusy(pConn)) {
            PGresult* pRaw = PQgetResult(pConn);
            if (pRaw == nullptr) {
                if (nDone >= nQueued)
                    return;  // only the synchronisation point is still to come
                complete();
                pAnswer.reset();
                pError.reset();
                continue;
            }
            ResultPtr pOne(pRaw);
            switch (PQresultStatus(pRaw)) {
            case PGRES_PIPELINE_SYNC:
                bSynced = true;
                break;
            case PGRES_PIPELINE_ABORTED:
                break;
            default:
                KeepResult(std::move(pOne), pError, pAnswer);
                break;
            }
        }
    };
    int nFlush = 0;
    while (!bBroken) {
        // The next part once the socket took the last one.
        if (nFlush == 0)
            queuePart();
        nFlush = bBroken ? -1 : PQflush(pConn);
        drain();
        if (bSynced)
            break;
        const bool bWait = nFlush != 0 || bQueuedAll;
        if (nFlush < 0 || PQstatus(pConn) == CONNECTION_BAD || (bWait && !WaitForSocket(nFlush == 1))) {
            bBroken = true;
        } else if (PQconsumeInput(pConn) == 0) {
            drain();
            bBroken = true;
        }
    }

    if (nFailed == kNone && nDone < nQueued) {
        nFailed = nDone;  // the connection broke before its answer came
        CStatementTrace::Write(strTraceLabel, szKind, textAt(nFailed));
    }
    if (nFailed != kNone && !bReadRefused) {
        if (pFailure)
            FailFromResult(pFailure.get(), textAt(nFailed));
        else
            FailNoResult(textAt(nFailed));
    } else if (nFailed == kNone && !strSendFailure.empty()) {
        nFailed = nQueued;
        CStatementTrace::Write(strTraceLabel, szKind, textAt(nFailed));
        Fail(ErrorCode::kNoResult, "the statement could not be sent: " + strSendFailure);
    } else if (nFailed == kNone && nSend < nTotal) {
        nFailed = nSend;
        CStatementTrace::Write(strTraceLabel, szKind, textAt(nFailed));
        Fail(ErrorCode::kEmptyStatement, "the statement text is empty");
    }
    // Back to one text at a time; a broken connection stays broken for the next call.
    for (int nTry = 0; nTry < 2 && PQstatus(pConn) == CONNECTION_OK && PQexitPipelineMode(pConn) == 0; ++nTry) {
        while (PGresult* pLeft = PQgetResult(pConn))
            PQclear(pLeft);
    }
    PQsetnonblocking(pConn, 0);
    if (!fnReader)
        SetCursor(nullptr);
    if (nFailed == kNone)
        return nTotal;
    CStatementTrace::Write(strTraceLabel, "failed", std::to_string(nLastCode));
    return nFailed;
}

CConnect::CConnect() : m_pImpl(new SImpl()) {}

CConnect::~CConnect()
{
    Close();
}

bool CConnect::Execute(const std::string& strSql)
{
    const bool bOk = m_pImpl->Traced("execute", strSql, [&] { return m_pImpl->Run(strSql, false); });
    m_pImpl->SetCursor(nullptr);
    return bOk;
}

bool CConnect::Query(const std::string& strSql)
{
    return m_pImpl->Traced("query", strSql, [&] { return m_pImpl->Run(strSql, true); });
}

std::size_t CConnect::ExecuteBatch(const std::vector<std::string>& vecSql, const BatchReader& fnReader)
{
    return m_pImpl->RunBatch(
        vecSql.size(), [&vecSql](std::size_t i) -> const std::string& { return vecSql[i]; }, fnReader, *this);
}

std::size_t CConnect::ExecuteBatchMade(std::vector<std::string>& vecSql, std::size_t nCount, const BatchText& fnText,
                                       const BatchReader& fnReader)
{
    vecSql.clear();
    vecSql.reserve(nCount);  // no reallocation: the batch holds references to the texts
    auto fnAt = [&](std::size_t i) -> const std::string& {
        while (vecSql.size() <= i)
            vecSql.push_back(fnText(vecSql.size()));
        return vecSql[i];
    };
    if (m_pImpl->pConn == nullptr) {
        // A stand-in without a server of its own takes the texts whole.
        for (std::size_t i = 0; i < nCount; ++i)
            fnAt(i);
        return ExecuteBatch(vecSql, fnReader);
    }
    return m_pImpl->RunBatch(nCount, fnAt, fnReader, *this);
}

std::size_t CConnect::ExecuteOneByOne(const std::vector<std::string>& vecSql, const BatchReader& fnReader)
{
    for (std::size_t i = 0; i < vecSql.size(); ++i) {
        if (!(fnReader ? Query(vecSql[i]) : Execute(vecSql[i])))
            return i;
        if (fnReader)
            fnReader(i, *this);
    }
    return vecSql.size();
}

long long CConnect::AffectedRows() const
{
    return m_pImpl->nAffected;
}

bool CConnect::BeginTransaction()
{
    return m_pImpl->Traced("begin", std::string(), [&] { return m_pImpl->RunTransactionCommand("BEGIN"); });
}

bool CConnect::Commit()
{
    return m_pImpl->Traced("commit", std::string(), [&] { return m_pImpl->RunTransactionCommand("COMMIT"); });
}

bool CConnect::Rollback()
{
    return m_pImpl->Traced("rollback", std::string(), [&] { return m_pImpl->RunTransactionCommand("ROLLBACK"); });
}

int CConnect::GetLastError(std::string& strErrorInfo)
{
    strErrorInfo = m_pImpl->strLastText;
    return m_pImpl->nLastCode;
}

bool CConnect::MoveNext()
{
    if (!m_pImpl->HasRow())
        return false;
    ++m_pImpl->nRow;
    return m_pImpl->HasRow();
}

bool CConnect::IsEOF()
{
    return !m_pImpl->HasRow();
}

std::string CConnect::GetString(const std::string& strColumn)
{
    const int nColumn = m_pImpl->ColumnIndex(strColumn);
    if (!m_pImpl->CanRead(nColumn, [&] { return "\"" + strColumn + "\""; }))
        return std::string();
    PGresult* pResult = m_pImpl->pResult.get();
    if (PQgetisnull(pResult, m_pImpl->nRow, nColumn))
        return std::string();
    return std::string(PQgetvalue(pResult, m_pImpl->nRow, nColumn),
                       static_cast<size_t>(PQgetlength(pResult, m_pImpl->nRow, nColumn)));
}

int CConnect::GetInt(int nColumn)
{
    if (!m_pImpl->CanRead(nColumn, [&] { return "at position " + std::to_string(nColumn); }))
        return 0;
    PGresult* pResult = m_pImpl->pResult.get();
    if (PQgetisnull(pResult, m_pImpl->nRow, nColumn))
        return 0;
    const char* szValue = PQgetvalue(pResult, m_pImpl->nRow, nColumn);
    int nValue = 0;
    if (!ParseInt32(szValue, nValue)) {
        m_pImpl->FailRead(std::string("cannot read column \"") + PQfname(pResult, nColumn) + "\" as a 32-bit integer: '" +
                          szValue + "'");
        return 0;
    }
    return nValue;
}

int CConnect::GetInt(const std::string& strColumn)
{
    const int nColumn = m_pImpl->ColumnIndex(strColumn);
    if (!m_pImpl->CanRead(nColumn, [&] { return "\"" + strColumn + "\""; }))
        return 0;
    return GetInt(nColumn);
}

bool CConnect::IsNull(const std::string& strColumn)
{
    const int nColumn = m_pImpl->ColumnIndex(strColumn);
    if (!m_pImpl->CanRead(nColumn, [&] { return "\"" + strColumn + "\""; }))
        return true;
    return PQgetisnull(m_pImpl->pResult.get(), m_pImpl->nRow, nColumn) != 0;
}

bool CConnect::Open(const std::string& strConnInfo)
{
    Close();
    PGconn* pConn = PQconnectdb(strConnInfo.c_str());
    if (pConn == nullptr) {
        m_pImpl->Fail(ErrorCode::kNoConnection, "cannot connect: out of memory");
        return false;
    }
    if (PQstatus(pConn) != CONNECTION_OK) {
        m_pImpl->Fail(ErrorCode::kNoConnection, "cannot connect: " + TrimTrailing(PQerrorMessage(pConn)));
        PQfinish(pConn);
        return false;
    }
    PQsetNoticeProcessor(pConn, IgnoreNotice, nullptr);
    m_pImpl->pConn = pConn;
    // Values are written into statement texts with '' as the only escape:
    // that holds only with standard_conforming_strings on.
    if (PQsetClientEncoding(pConn, "UTF8") != 0) {
        m_pImpl->Fail(ErrorCode::kNoConnection,
                      "cannot set client encoding UTF8: " + TrimTrailing(PQerrorMessage(pConn)));
        Close();
        return false;
    }
    if (!m_pImpl->Run("SET standard_conforming_strings = on", false)) {
        const int nCode = m_pImpl->nLastCode;
        const std::string strText = m_pImpl->strLastText;
        Close();
        m_pImpl->Fail(nCode, "cannot set standard_conforming_strings: " + strText);
        return false;
    }
    if (CStatementTrace::IsOn()) {
        const char* szDatabase = PQdb(pConn);
        m_pImpl->strTraceLabel = CStatementTrace::LabelFor(szDatabase != nullptr ? szDatabase : "?");
    }
    return true;
}

void CConnect::Close()
{
    m_pImpl->SetCursor(nullptr);
    m_pImpl->bReadFailed = false;
    if (m_pImpl->pConn != nullptr) {
        PQfinish(m_pImpl->pConn);
        m_pImpl->pConn = nullptr;
        CStatementTrace::Write(m_pImpl->strTraceLabel, "close", std::string());
        m_pImpl->strTraceLabel.clear();
    }
}

bool CConnect::IsOpen() const
{
    return m_pImpl->pConn != nullptr && PQstatus(m_pImpl->pConn) == CONNECTION_OK;
}

DBParam CConnect::GetParam() const
{
    DBParam param;
    PGconn* pConn = m_pImpl->pConn;
    if (pConn == nullptr)
        return param;
    auto text = [](const char* sz) { return sz != nullptr ? std::string(sz) : std::string(); };
    param.host = text(PQhost(pConn));
    const std::string strPort = text(PQport(pConn));
    param.port = strPort.empty() ? 0 : std::atoi(strPort.c_str());
    param.user = text(PQuser(pConn));
    param.password = text(PQpass(pConn));
    param.dbname = text(PQdb(pConn));
    param.options = text(PQoptions(pConn));
    return param;
}

}  // namespace db_layer
