// The one way the steps send SQL: wraps a host connection (borrowed, never
// closed, may be null), keeps the code and text of the last failure and logs
// every failure with its SQL. Made per step operation, held by shared_ptr.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db_layer/CConnect.h"

namespace UnifiedUpgradeComponent {

// Reads the rows of the last query from the connection into the caller's variables.
using RowReader = std::function<void(db_layer::CConnect&)>;

class CDBAccessConn {
public:
    // Code and text reported by every call on a wrapper of a null connection.
    static constexpr int kNullConnectionCode = -1;
    static constexpr const char* kNullConnectionInfo = "no database connection was given for this operation";

    explicit CDBAccessConn(db_layer::CConnect* pConn);

    bool ExecuteHelper(const std::string& strSql);
    // The reader runs once after a successful query, whatever the result holds.
    bool ExecuteQuery(const std::string& strSql, RowReader fnReader);
    // Batches (db_layer::CConnect::ExecuteBatch): the statements go to the
    // server together and are answered in order; the result is how many
    // succeeded. The first that failed is stored and logged exactly as
    // ExecuteHelper, or ExecuteQuery for QueryBatch, would have logged it alone;
    // those after it took no effect. vecReaders[i] reads the rows of vecSql[i].
    std::size_t ExecuteBatch(const std::vector<std::string>& vecSql);
    std::size_t QueryBatch(const std::vector<std::string>& vecSql, const std::vector<RowReader>& vecReaders);
    // nCount statements, text i made by fnText(i) as the batch goes out
    // (db_layer::CConnect::ExecuteBatchMade); otherwise as ExecuteBatch.
    std::size_t ExecuteBatch(std::size_t nCount, const db_layer::CConnect::BatchText& fnText);
    // The transaction calls fail like a statement: the failure is stored and
    // logged at level 4 with the command ("BEGIN", "COMMIT", "ROLLBACK"). A
    // COMMIT that the server refused (a deferred constraint) took nothing.
    bool BeginTransaction();
    bool Commit();
    bool Rollback();
    // Rows that the last successful ExecuteHelper inserted, updated or deleted.
    long long AffectedRows() const;
    // Runs fn (calls on this wrapper) with its failure lines off: failures are
    // stored as ever but not logged. Only for a statement whose failure the
    // caller answers another way: the bulk copy of a key range, which is then
    // redone one row at a time, and that path logs the failing row's statement.
    template <class Fn>
    bool Quietly(Fn fn) {
        const bool bWasLogging = m_bLogFailures;
        m_bLogFailures = false;
        const bool bOk = fn();
        m_bLogFailures = bWasLogging;
        return bOk;
    }
    // Copies the stored failure; a success never clears it. Always true.
    bool GetLastError(int& nErrorCode, std::string& strErrorInfo);
    // A step's failure after a call on this wrapper: copies the stored failure
    // into the step's error fields and returns false, so that the step ends
    // with `return pConn->CopyErrorAndFail(nErrorCode, strErrorInfo);`.
    bool CopyErrorAndFail(int& nErrorCode, std::string& strErrorInfo);
    // The same, with the step's own failure line: fnLog runs after the copy, so
    // the line reads the copied fields, and its UPG_LOG keeps the step's position.
    template <class FnLog>
    bool CopyErrorAndFail(int& nErrorCode, std::string& strErrorInfo, FnLog fnLog) {
        CopyErrorAndFail(nErrorCode, strErrorInfo);
        fnLog();
        return false;
    }

private:
    // Takes the connection's failure (or the null-connection failure) as the stored one.
    void StoreFailure();
    void LogStatementFailure(bool bQuery, const std::string& strSql);
    std::size_t Batch(const std::vector<std::string>& vecSql, const db_layer::CConnect::BatchReader& fnReader);
    // Stores and logs the failure of statement nDone of vecSql, if there is one.
    std::size_t BatchDone(std::size_t nDone, const std::vector<std::string>& vecSql, bool bQuery);
    bool Bracket(bool (db_layer::CConnect::*pfnCall)(), const char* szCommand, const char* szName);

    db_layer::CConnect* m_pConn = nullptr;
    int m_nLastErrorCode = 0;
    std::string m_strLastErrorInfo;
    bool m_bLogFailures = true;
};

using DBAccessConnPtr = std::shared_ptr<CDBAccessConn>;

// Row reader shapes shared by the steps.
namespace RowReaders {
// Last value: every row overwrites the variable; no row leaves it unchanged.
RowReader LastInt(const char* szColumn, int& nValue);
RowReader LastString(const char* szColumn, std::string& strValue);
// First value by position 0, no MoveNext.
RowReader FirstIntAt0(int& nValue);
// Drain: steps through every row, reads nothing.
RowReader Drain();
// Ignore: does nothing.
RowReader Ignore();
// Collect: one element per row, fnRead(conn) of the current row, appended to
// vecRows in the server's order.
template <class TRow, class FnRead>
RowReader Collect(std::vector<TRow>& vecRows, FnRead fnRead) {
    return [&vecRows, fnRead](db_layer::CConnect& conn) {
        for (; !conn.IsEOF(); conn.MoveNext()) vecRows.push_back(fnRead(conn));
    };
}
}  // namespace RowReaders

}  // namespace UnifiedUpgradeComponent
