// The rows one batch writes into one table, gathered as column arrays and
// written with one set-based statement (bulk mode of the approval conversion).
// Each array is one array literal ('{...}'::type[]): its elements are quoted
// for the array, the whole through CSqlText, NULL left bare. The first row
// fixes the columns and their types. Holds one batch at a time.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace UnifiedUpgradeComponent {

class CSetRows {
public:
    struct SValue {
        const char* szColumn;  // the target column
        const char* szType;    // the SQL type of its array: "integer", "bigint", "text", "timestamp"
        std::string strValue;  // the value's text (a number in decimal)
        bool bNull = false;
    };

    explicit CSetRows(const char* szTable);

    // One row; every row names the same columns in the same order.
    void Add(const std::vector<SValue>& vecRow);
    bool Empty() const { return m_nRows == 0; }

    // "INSERT INTO <table>(<columns>) SELECT * FROM unnest(<one array per column>);"
    std::string Insert() const;
    // "UPDATE <table> t SET <c> = v.<c>, ... FROM unnest(...) AS v(<columns>) WHERE t.<key> = v.<key>
    // AND t.<key> BETWEEN <lowest> AND <highest>;" with the first column, a
    // number, as the key: the range (a batch's keys lie within 101) lets the
    // server read the rows by the key's index instead of the whole table. A key
    // given twice would update its rows once with either value, where one
    // statement per row leaves the last: callers send no batch whose keys repeat.
    std::string UpdateByFirstColumn() const;

private:
    std::string Array(std::size_t nColumn) const;
    std::string Arrays() const;
    std::string ColumnNames() const;

    const char* m_szTable;
    std::vector<const char*> m_vecNames;
    std::vector<const char*> m_vecTypes;
    std::vector<bool> m_vecNumbers;          // per column: written bare
    std::vector<std::string> m_vecElements;  // per column: its elements joined by ","
    std::size_t m_nRows = 0;
    long long m_llLowestKey = 0;
    long long m_llHighestKey = 0;
};

}  // namespace UnifiedUpgradeComponent
