// A scripted stand-in for db_layer::CConnect in unit tests. It records every
// text sent and every transaction call in order, and answers each statement
// with scripted rows or a scripted failure; unscripted statements succeed with
// no row. Scripts match by exact text or by substring, first match wins, and
// may be limited to a number of uses.
#pragma once
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "db_layer/CConnect.h"

namespace vsu_test {

// One result row: column name -> value; std::nullopt is a NULL field.
using FakeRow = std::map<std::string, std::optional<std::string>>;

class CFakeConnect : public db_layer::CConnect {
public:
    // Each recorded call: "EXEC <sql>", "QUERY <sql>", "BEGIN", "COMMIT", "ROLLBACK".
    std::vector<std::string> calls;

    // Rows for a statement whose text equals strSql (or contains it, with bSubstring).
    // nTimes < 0: for every use; otherwise for that many uses, then the next matching script applies.
    CFakeConnect& OnRows(const std::string& strSql, std::vector<FakeRow> rows, bool bSubstring = false,
                         int nTimes = -1);
    // A failure with the given code and text for such a statement; "BEGIN",
    // "COMMIT" and "ROLLBACK" (exact) make the transaction calls fail.
    CFakeConnect& OnFail(const std::string& strSql, int nCode, const std::string& strText, bool bSubstring = false,
                         int nTimes = -1);
    // Only the texts sent, in order, with Execute and Query alike.
    std::vector<std::string> Statements() const;

    bool Execute(const std::string& strSql) override { return Answer("EXEC ", strSql); }
    bool Query(const std::string& strSql) override { return Answer("QUERY ", strSql); }
    // One statement after another through Execute or Query: tests see a batch as its statements.
    std::size_t ExecuteBatch(const std::vector<std::string>& vecSql, const BatchReader& fnReader) override {
        return ExecuteOneByOne(vecSql, fnReader);
    }
    bool BeginTransaction() override { return Answer("", "BEGIN"); }
    bool Commit() override { return Answer("", "COMMIT"); }
    bool Rollback() override { return Answer("", "ROLLBACK"); }
    int GetLastError(std::string& strErrorInfo) override {
        strErrorInfo = m_strLastText;
        return m_nLastCode;
    }
    bool MoveNext() override { return m_nRow < m_rows.size() && ++m_nRow < m_rows.size(); }
    bool IsEOF() override { return m_nRow >= m_rows.size(); }
    std::string GetString(const std::string& strColumn) override;
    int GetInt(int nColumn) override;  // counts the columns of a scripted row in name order
    int GetInt(const std::string& strColumn) override;
    bool IsNull(const std::string& strColumn) override { return Field(strColumn) == nullptr; }
    bool Open(const std::string&) override { return true; }
    void Close() override {}
    bool IsOpen() const override { return true; }

private:
    struct SScript {
        std::string strSql;
        bool bSubstring = false;
        int nTimes = -1;
        bool bFail = false;
        int nCode = 0;
        std::string strText;
        std::vector<FakeRow> rows;
    };
    // Records the call (szKind "" for a transaction call) and answers it from the scripts.
    bool Answer(const char* szKind, const std::string& strSql);
    // The current row's value of strColumn; nullptr when there is no row, no such column or NULL.
    const std::string* Field(const std::string& strColumn) const;

    std::vector<SScript> m_scripts;
    std::vector<FakeRow> m_rows;
    size_t m_nRow = 0;
    int m_nLastCode = 0;
    std::string m_strLastText;
};

}  // namespace vsu_test
