#include "Upgrade/DBAccessConn.h"

#include "Upgrade/LogPosition.h"

namespace UnifiedUpgradeComponent {

CDBAccessConn::CDBAccessConn(db_layer::CConnect* pConn) {
    if (pConn != nullptr) m_pConn = pConn;
}

void CDBAccessConn::StoreFailure() {
    if (m_pConn != nullptr) {
        m_nLastErrorCode = m_pConn->GetLastError(m_strLastErrorInfo);
    } else {
        m_nLastErrorCode = kNullConnectionCode;
        m_strLastErrorInfo = kNullConnectionInfo;
    }
}

void CDBAccessConn::LogStatementFailure(bool bQuery, const std::string& strSql) {
    if (!m_bLogFailures) return;
    if (bQuery) {
        UPG_LOG(LOG_WARN, "[%s][CDBAccessConn::ExecuteQuery] Failed, errorcode: %d, errorinfo: %s, sql: %s[%s(%d)]",
                "UnifiedUpgradeComponent::CDBAccessConn::ExecuteQuery", m_nLastErrorCode, m_strLastErrorInfo.c_str(),
                strSql.c_str());
    } else {
        UPG_LOG(LOG_WARN, "[%s][CDBAccessConn::ExecuteHelper] Failed, errorcode: %d, errorinfo: %s, sql: %s[%s(%d)]",
                "UnifiedUpgradeComponent::CDBAccessConn::ExecuteHelper", m_nLastErrorCode, m_strLastErrorInfo.c_str(),
                strSql.c_str());
    }
}

bool CDBAccessConn::ExecuteHelper(const std::string& strSql) {
    if (m_pConn != nullptr && m_pConn->Execute(strSql)) return true;
    StoreFailure();
    LogStatementFailure(false, strSql);
    return false;
}

bool CDBAccessConn::ExecuteQuery(const std::string& strSql, RowReader fnReader) {
    if (m_pConn != nullptr && m_pConn->Query(strSql)) {
        fnReader(*m_pConn);
        return true;
    }
    StoreFailure();
    LogStatementFailure(true, strSql);
    return false;
}

std::size_t CDBAccessConn::Batch(const std::vector<std::string>& vecSql,
                                 const db_layer::CConnect::BatchReader& fnReader) {
    if (vecSql.empty()) return 0;
    const std::size_t nDone = m_pConn != nullptr ? m_pConn->ExecuteBatch(vecSql, fnReader) : 0;
    return BatchDone(nDone, vecSql, static_cast<bool>(fnReader));
}

std::size_t CDBAccessConn::BatchDone(std::size_t nDone, const std::vector<std::string>& vecSql, bool bQuery) {
    if (nDone < vecSql.size()) {
        StoreFailure();
        LogStatementFailure(bQuery, vecSql[nDone]);
    }
    return nDone;
}

std::size_t CDBAccessConn::ExecuteBatch(std::size_t nCount, const db_layer::CConnect::BatchText& fnText) {
    std::vector<std::string> vecSql;
    if (nCount == 0) return 0;
    const std::size_t nDone =
        m_pConn != nullptr ? m_pConn->ExecuteBatchMade(vecSql, nCount, fnText, db_layer::CConnect::BatchReader()) : 0;
    // Those not made were not sent: the count of the batch is what was made.
    if (nDone == vecSql.size() && nDone < nCount) vecSql.push_back(fnText(nDone));
    return BatchDone(nDone, vecSql, false);
}

std::size_t CDBAccessConn::ExecuteBatch(const std::vector<std::string>& vecSql) {
    return Batch(vecSql, db_layer::CConnect::BatchReader());
}

std::size_t CDBAccessConn::QueryBatch(const std::vector<std::string>& vecSql, const std::vector<RowReader>& vecReaders) {
    return Batch(vecSql, [&vecReaders](std::size_t nStatement, db_layer::CConnect& conn) { vecReaders[nStatement](conn); });
}

bool CDBAccessConn::Bracket(bool (db_layer::CConnect::*pfnCall)(), const char* szCommand, const char* szName) {
    if (m_pConn != nullptr && (m_pConn->*pfnCall)()) return true;
    StoreFailure();
    if (!m_bLogFailures) return false;
    UPG_LOG(LOG_WARN, "[%s][%s] Failed, errorcode: %d, errorinfo: %s, sql: %s[%s(%d)]", szName,
            szName + sizeof("UnifiedUpgradeComponent::") - 1, m_nLastErrorCode, m_strLastErrorInfo.c_str(), szCommand);
    return false;
}

bool CDBAccessConn::BeginTransaction() {
    return Bracket(&db_layer::CConnect::BeginTransaction, "BEGIN",
                   "UnifiedUpgradeComponent::CDBAccessConn::BeginTransaction");
}

bool CDBAccessConn::Commit() {
    return Bracket(&db_layer::CConnect::Commit, "COMMIT", "UnifiedUpgradeComponent::CDBAccessConn::Commit");
}

bool CDBAccessConn::Rollback() {
    return Bracket(&db_layer::CConnect::Rollback, "ROLLBACK", "UnifiedUpgradeComponent::CDBAccessConn::Rollback");
}

long long CDBAccessConn::AffectedRows() const { return m_pConn != nullptr ? m_pConn->AffectedRows() : 0; }

bool CDBAccessConn::GetLastError(int& nErrorCode, std::string& strErrorInfo) {
    nErrorCode = m_nLastErrorCode;
    strErrorInfo = m_strLastErrorInfo;
    return true;
}

bool CDBAccessConn::CopyErrorAndFail(int& nErrorCode, std::string& strErrorInfo) {
    GetLastError(nErrorCode, strErrorInfo);
    return false;
}

namespace RowReaders {

RowReader LastInt(const char* szColumn, int& nValue) {
    return [szColumn, &nValue](db_layer::CConnect& conn) {
        while (!conn.IsEOF()) {
            nValue = conn.GetInt(szColumn);
            conn.MoveNext();
        }
    };
}

RowReader LastString(const char* szColumn, std::string& strValue) {
    return [szColumn, &strValue](db_layer::CConnect& conn) {
        while (!conn.IsEOF()) {
            strValue = conn.GetString(szColumn);
            conn.MoveNext();
        }
    };
}

RowReader FirstIntAt0(int& nValue) {
    return [&nValue](db_layer::CConnect& conn) {
        if (!conn.IsEOF()) nValue = conn.GetInt(0);
    };
}

RowReader Drain() {
    return [](db_layer::CConnect& conn) {
        while (!conn.IsEOF()) conn.MoveNext();
    };
}

RowReader Ignore() {
    return [](db_layer::CConnect&) {};
}

}  // namespace RowReaders

}  // namespace UnifiedUpgradeComponent
