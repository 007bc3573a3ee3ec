// Bulk mode of one batch of the approval conversion: its set-based statements,
// sent on the connection that holds the batch's transaction (borrowed for one
// batch; null in the default mode) through a quiet wrapper, so a failure is
// logged nowhere: it is taken back (ROLLBACK, then BEGIN, so the walk's
// transaction is open again) and the caller redoes the batch the default way,
// whose statements report the failing row as the default mode reports it. A
// take-back that fails is logged and fails the batch: no redo outside it.
#pragma once
#include <functional>
#include <memory>
#include <string>

#include "Upgrade/DBAccessConn.h"

namespace UnifiedUpgradeComponent {

class CBulkBatch {
public:
    explicit CBulkBatch(db_layer::CConnect* pConn)
        : m_pRaw(pConn), m_pConn(std::make_shared<CDBAccessConn>(pConn)), m_bActive(pConn != nullptr) {}

    // Bulk mode, and none of the batch's set-based statements failed.
    bool Active() const { return m_bActive; }
    // The batch goes the default way from here on, nothing sent (e.g. its keys repeat).
    void Decline() { m_bActive = false; }
    // False, with the error in the out-fields, when a refused statement could
    // not be taken back: the batch's transaction is gone, and the batch fails.
    bool TakenBack(int& nErrorCode, std::string& strErrorInfo);
    // One statement each; fnReader reads the rows of a query and answers
    // whether they are what was asked. False, taken back and inactive otherwise.
    bool Query(const std::string& strSql, const std::function<bool(db_layer::CConnect&)>& fnReader);
    bool Execute(const std::string& strSql);
    // A set-based statement of the batch failed (not declined), with the server's code and text.
    bool Refused() const { return m_bRefused; }
    db_layer::CConnect* Connection() const { return m_pRaw; }
    int RefusalCode() const { return m_nRefusalCode; }
    const std::string& RefusalText() const { return m_strRefusalText; }

private:
    bool Failed(bool bAnswered);

    db_layer::CConnect* m_pRaw;
    DBAccessConnPtr m_pConn;
    bool m_bActive;
    bool m_bTakeBackFailed = false;
    bool m_bRefused = false;
    int m_nRefusalCode = 0;
    std::string m_strRefusalText;
};

}  // namespace UnifiedUpgradeComponent
