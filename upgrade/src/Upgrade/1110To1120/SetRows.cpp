#include "Upgrade/1110To1120/SetRows.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Upgrade/SqlText.h"

namespace UnifiedUpgradeComponent {

namespace {

bool IsNumber(const char* szType) { return std::strcmp(szType, "integer") == 0 || std::strcmp(szType, "bigint") == 0; }

// An element of an array literal: NULL and numbers bare, texts quoted.
void AppendElement(std::string& strOut, const CSetRows::SValue& value, bool bNumber) {
    if (value.bNull || bNumber) {
        strOut += value.bNull ? std::string("NULL") : value.strValue;
        return;
    }
    CSqlText::AppendArrayElement(strOut, value.strValue);
}

}  // namespace

CSetRows::CSetRows(const char* szTable) : m_szTable(szTable) {}

void CSetRows::Add(const std::vector<SValue>& vecRow) {
    if (m_nRows == 0) {
        for (const SValue& value : vecRow) {
            m_vecNames.push_back(value.szColumn);
            m_vecTypes.push_back(value.szType);
            m_vecNumbers.push_back(IsNumber(value.szType));
        }
        m_vecElements.resize(vecRow.size());
    }
    if (!vecRow.empty()) {
        const long long llKey = std::strtoll(vecRow[0].strValue.c_str(), nullptr, 10);
        m_llLowestKey = m_nRows == 0 ? llKey : std::min(m_llLowestKey, llKey);
        m_llHighestKey = m_nRows == 0 ? llKey : std::max(m_llHighestKey, llKey);
    }
    for (std::size_t i = 0; i < vecRow.size() && i < m_vecElements.size(); ++i) {
        if (m_nRows > 0) m_vecElements[i] += ',';
        AppendElement(m_vecElements[i], vecRow[i], m_vecNumbers[i]);
    }
    ++m_nRows;
}

std::string CSetRows::Array(std::size_t nColumn) const {
    return CSqlText::Literal("{" + m_vecElements[nColumn] + "}") + "::" + m_vecTypes[nColumn] + "[]";
}

std::string CSetRows::Arrays() const {
    std::string strOut;
    for (std::size_t i = 0; i < m_vecNames.size(); ++i) strOut += (i > 0 ? ", " : "") + Array(i);
    return strOut;
}

std::string CSetRows::ColumnNames() const {
    std::string strOut;
    for (std::size_t i = 0; i < m_vecNames.size(); ++i) strOut += (i > 0 ? ", " : "") + std::string(m_vecNames[i]);
    return strOut;
}

std::string CSetRows::Insert() const {
    return std::string("INSERT INTO ") + m_szTable + "(" + ColumnNames() + ") SELECT * FROM unnest(" + Arrays() + ");";
}

std::string CSetRows::UpdateByFirstColumn() const {
    std::string strSet;
    for (std::size_t i = 1; i < m_vecNames.size(); ++i)
        strSet += std::string(i > 1 ? ", " : "") + m_vecNames[i] + " = v." + m_vecNames[i];
    const std::string strKey = m_vecNames.empty() ? std::string() : m_vecNames[0];
    return std::string("UPDATE ") + m_szTable + " t SET " + strSet + " FROM unnest(" + Arrays() + ") AS v(" +
           ColumnNames() + ") WHERE t." + strKey + " = v." + strKey + " AND t." + strKey + " BETWEEN " +
           std::to_string(m_llLowestKey) + " AND " + std::to_string(m_llHighestKey) + ";";
}

}  // namespace UnifiedUpgradeComponent
