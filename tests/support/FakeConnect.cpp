#include "FakeConnect.h"

namespace vsu_test {

CFakeConnect& CFakeConnect::OnRows(const std::string& strSql, std::vector<FakeRow> rows, bool bSubstring, int nTimes) {
    m_scripts.push_back(SScript{strSql, bSubstring, nTimes, false, 0, "", std::move(rows)});
    return *this;
}

CFakeConnect& CFakeConnect::OnFail(const std::string& strSql, int nCode, const std::string& strText, bool bSubstring,
                                   int nTimes) {
    m_scripts.push_back(SScript{strSql, bSubstring, nTimes, true, nCode, strText, {}});
    return *this;
}

std::vector<std::string> CFakeConnect::Statements() const {
    std::vector<std::string> vecOut;
    for (const auto& strCall : calls) {
        if (strCall.rfind("EXEC ", 0) == 0) vecOut.push_back(strCall.substr(5));
        if (strCall.rfind("QUERY ", 0) == 0) vecOut.push_back(strCall.substr(6));
    }
    return vecOut;
}

bool CFakeConnect::Answer(const std::string& strSql, bool bTransactionCall) {
    m_rows.clear();
    m_nRow = 0;
    for (auto& script : m_scripts) {
        if (script.nTimes == 0) continue;
        // A transaction call matches its own command word only, never a statement's substring.
        const bool bMatch = (script.bSubstring && !bTransactionCall) ? strSql.find(script.strSql) != std::string::npos
                                                                     : strSql == script.strSql;
        if (!bMatch) continue;
        if (script.nTimes > 0) --script.nTimes;
        if (script.bFail) {
            m_nLastCode = script.nCode;
            m_strLastText = script.strText;
            return false;
        }
        m_rows = script.rows;
        return true;
    }
    return true;
}

bool CFakeConnect::Execute(const std::string& strSql) {
    calls.push_back("EXEC " + strSql);
    return Answer(strSql, false);
}
bool CFakeConnect::Query(const std::string& strSql) {
    calls.push_back("QUERY " + strSql);
    return Answer(strSql, false);
}

bool CFakeConnect::Transaction(const char* szCommand) {
    calls.push_back(szCommand);
    return Answer(szCommand, true);
}
bool CFakeConnect::BeginTransaction() { return Transaction("BEGIN"); }
bool CFakeConnect::Commit() { return Transaction("COMMIT"); }
bool CFakeConnect::Rollback() { return Transaction("ROLLBACK"); }

int CFakeConnect::GetLastError(std::string& strErrorInfo) {
    strErrorInfo = m_strLastText;
    return m_nLastCode;
}

bool CFakeConnect::MoveNext() {
    if (m_nRow < m_rows.size()) ++m_nRow;
    return m_nRow < m_rows.size();
}

bool CFakeConnect::IsEOF() { return m_nRow >= m_rows.size(); }

const FakeRow* CFakeConnect::Current() const { return m_nRow < m_rows.size() ? &m_rows[m_nRow] : nullptr; }

std::string CFakeConnect::GetString(const std::string& strColumn) {
    const FakeRow* pRow = Current();
    if (pRow == nullptr) return "";
    auto it = pRow->find(strColumn);
    return (it == pRow->end() || !it->second) ? std::string() : *it->second;
}

int CFakeConnect::GetInt(int nColumn) {
    const FakeRow* pRow = Current();
    if (pRow == nullptr || nColumn < 0 || static_cast<size_t>(nColumn) >= pRow->size()) return 0;
    auto it = pRow->begin();
    std::advance(it, nColumn);
    return it->second ? std::stoi(*it->second) : 0;
}

int CFakeConnect::GetInt(const std::string& strColumn) {
    const FakeRow* pRow = Current();
    if (pRow == nullptr) return 0;
    auto it = pRow->find(strColumn);
    return (it == pRow->end() || !it->second) ? 0 : std::stoi(*it->second);
}

bool CFakeConnect::IsNull(const std::string& strColumn) {
    const FakeRow* pRow = Current();
    if (pRow == nullptr) return true;
    auto it = pRow->find(strColumn);
    return it == pRow->end() || !it->second;
}

}  // namespace vsu_test
