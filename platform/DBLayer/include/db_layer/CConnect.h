// One connection to a PostgreSQL database, and at the same time the cursor over
// the rows of its last query. Owned by the host; the plug-in only borrows it.
// Not thread-safe: one thread at a time. libpq stays inside the implementation.
#pragma once
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db_layer/DBLayerApi.h"
#include "db_layer/DBParam.h"

namespace db_layer {

class DBLAYER_API CConnect {
public:
    // Reads the rows of one statement of a batch: its position in the list, and
    // this connection as the cursor on its rows. Sends no SQL on the connection.
    using BatchReader = std::function<void(std::size_t nStatement, CConnect& conn)>;

    CConnect();
    virtual ~CConnect();
    CConnect(const CConnect&) = delete;
    CConnect& operator=(const CConnect&) = delete;

    // Runs a whole text (one statement or a script of many) with the simple
    // query protocol; rows, if any, are discarded. An empty text fails.
    virtual bool Execute(const std::string& strSql);
    // Runs a whole text and places the cursor on the first row of the last
    // result that the text produced.
    virtual bool Query(const std::string& strSql);
    // Sends the statements in order, each text one statement, without waiting
    // for a result in between (libpq pipeline mode), then reads every result in
    // order: with fnReader each statement is a query whose rows fnReader reads,
    // without it each is executed and its rows discarded. Returns how many
    // succeeded; when fewer than all, GetLastError reports the first that did
    // not with the code and text Execute or Query would have given, the
    // statements after it take no effect, and the statement trace holds what
    // sending them one by one would have left. Outside a transaction block the
    // whole batch is one implicit transaction: an error of the server also
    // takes back the statements before it (sequence draws stay drawn); a
    // failure the client finds (an empty text, a text that could not be sent,
    // a value a reader could not read) does not, and after a failed read the
    // server has run the later statements too. A batch that must take effect
    // whole or not at all therefore runs inside a transaction block, as every
    // writing caller does. A value a reader could not read fails the next
    // statement of the batch, as it would one by one.
    virtual std::size_t ExecuteBatch(const std::vector<std::string>& vecSql, const BatchReader& fnReader);
    // The same batch of nCount texts, each made by fnText(i) just before it is
    // queued, so that making the later texts overlaps the server's work on the
    // earlier ones. vecSql receives the texts made (those up to the first
    // failure at least), for the caller's report. A stand-in connection without
    // a server gets them all made, through the ExecuteBatch above.
    using BatchText = std::function<std::string(std::size_t nStatement)>;
    std::size_t ExecuteBatchMade(std::vector<std::string>& vecSql, std::size_t nCount, const BatchText& fnText,
                                 const BatchReader& fnReader);
    // Rows that the last successful Execute inserted, updated or deleted (the
    // count of the server's command tag); 0 after any other call or a failure.
    virtual long long AffectedRows() const;
    virtual bool BeginTransaction();
    virtual bool Commit();
    virtual bool Rollback();
    // Code of the last failure (see ErrorCodes.h), 0 if none; writes its text.
    virtual int GetLastError(std::string& strErrorInfo);
    virtual bool MoveNext();
    // True when there is no current row, also at once after an empty result.
    virtual bool IsEOF();
    // The column of the current row as text; NULL reads as "" (see IsNull).
    virtual std::string GetString(const std::string& strColumn);
    // Zero-based column position. NULL reads as 0. A value that is not a
    // 32-bit integer reads as 0 and marks the read as failed: GetLastError
    // reports it, and the next Execute/Query on this connection fails with
    // ErrorCode::kUnreadableValue instead of running (once; then the mark is
    // cleared). Readers cannot report a failure themselves, and a key walk that
    // went on with a wrong number would skip or repeat rows unnoticed. The same
    // holds for an unknown column or no current row in GetString/GetInt/IsNull.
    virtual int GetInt(int nColumn);
    virtual int GetInt(const std::string& strColumn);
    // Tells a NULL field from an empty text.
    virtual bool IsNull(const std::string& strColumn);

    // Opens from a libpq connection string ("host=/tmp port=5432 dbname=x" or a
    // postgresql:// URI; libpq's environment variables fill the gaps). Every
    // connection runs with standard_conforming_strings=on and UTF8 client
    // encoding. Closes a previous connection first.
    virtual bool Open(const std::string& strConnInfo);
    virtual void Close();
    virtual bool IsOpen() const;
    // host, port, user, password and dbname as libpq resolved them.
    virtual DBParam GetParam() const;

protected:
    // The batch's contract kept by sending through Execute or Query one by one:
    // for connections that stand in for this one without a server.
    std::size_t ExecuteOneByOne(const std::vector<std::string>& vecSql, const BatchReader& fnReader);

private:
    struct SImpl;
    std::unique_ptr<SImpl> m_pImpl;
};

}  // namespace db_layer
