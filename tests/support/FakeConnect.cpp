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

bool CFakeConnect::Answer(const char* szKind, const std::string& strSql) {
    calls.push_back(szKind + strSql);
    m_rows.clear();
    m_nRow = 0;
    for (auto& script : m_scripts) {
        // A transaction call matches its own command word only, never a statement's substring.
        const bool bMatch = (script.bSubstring && *szKind != 0) ? strSql.find(script.strSql) != std::string::npos
                                                                : strSql == script.strSql;
        if (script.nTimes == 0 || !bMatch) continue;
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

const std::string* CFakeConnect::Field(const std::string& strColumn) const {
    if (m_nRow >= m_rows.size()) return nullptr;
    const auto it = m_rows[m_nRow].find(strColumn);
    return (it == m_rows[m_nRow].end() || !it->second) ? nullptr : &*it->second;
}

std::string CFakeConnect::GetString(const std::string& strColumn) {
    const std::string* pValue = Field(strColumn);
    return pValue != nullptr ? *pValue : std::string();
}

int CFakeConnect::GetInt(const std::string& strColumn) {
    const std::string* pValue = Field(strColumn);
    return pValue != nullptr ? std::stoi(*pValue) : 0;
}

int CFakeConnect::GetInt(int nColumn) {
    if (m_nRow >= m_rows.size() || nColumn < 0 || static_cast<size_t>(nColumn) >= m_rows[m_nRow].size()) return 0;
    return GetInt(std::next(m_rows[m_nRow].begin(), nColumn)->first);
}

}  // namespace vsu_test
