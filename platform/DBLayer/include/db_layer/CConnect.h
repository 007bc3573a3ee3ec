// One connection to a PostgreSQL database, and at the same time the cursor over
// the rows of its last query. Owned by the host; the plug-in only borrows it.
// Not thread-safe: one thread at a time. libpq stays inside the implementation.
#pragma once
#include <memory>
#include <string>

#include "db_layer/DBLayerApi.h"
#include "db_layer/DBParam.h"

namespace db_layer {

class DBLAYER_API CConnect {
public:
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

private:
    struct SImpl;
    std::unique_ptr<SImpl> m_pImpl;
};

}  // namespace db_layer
