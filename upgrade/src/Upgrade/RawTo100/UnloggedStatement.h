// Sends a statement that carries a secret (the foreign server's password) so that
// the server writes its text to no log, as far as the connected role may change the
// settings that would: for that statement alone inside the caller's transaction, and
// the transaction sampling around the whole transaction. Borrows the wrapper for one pass.
#pragma once
#include <string>
#include <vector>

#include "Upgrade/DBAccessConn.h"

namespace UnifiedUpgradeComponent {

class CUnloggedStatement {
public:
    // strOwner: the qualified name of the operation, for log lines.
    CUnloggedStatement(DBAccessConnPtr pConn, std::string strOwner);

    // Before the BEGIN of the transaction that will send the statement: the server
    // decides at BEGIN whether a transaction is sampled (log_transaction_sample_rate),
    // and a sampled one logs every statement. Stops the session's sampling when it
    // is on and the role may change it.
    bool PauseSampling(int& nErrorCode, std::string& strErrorInfo);
    // After that transaction ended, committed or not: the session's sampling as it was.
    bool ResumeSampling(int& nErrorCode, std::string& strErrorInfo);

    // Inside the transaction, before Execute: reads the settings that would log the
    // statement's text and whether the role may change them.
    bool ReadSettings(int& nErrorCode, std::string& strErrorInfo);
    // Settings that would log the statement (or show it in a crash report) and that
    // the role may not change; empty for a superuser. Known after ReadSettings.
    const std::vector<std::string>& Unprotected() const { return m_vecUnprotected; }
    // The settings switched off (SET LOCAL), strSql, the settings back to the values
    // read (SET LOCAL again: the rest of the transaction is logged as the site wants,
    // and the transaction's end restores the session in any case).
    bool Execute(int& nErrorCode, std::string& strErrorInfo, const std::string& strSql);

private:
    struct SSetting {
        std::string strName;
        std::string strValue;
        std::string strSource;
        bool bMaySet = false;
    };
    bool Read(int& nErrorCode, std::string& strErrorInfo, const std::string& strNames, std::vector<SSetting>& vecRead);
    bool Send(int& nErrorCode, std::string& strErrorInfo, const std::string& strSql);

    DBAccessConnPtr m_pConn;
    std::string m_strOwner;
    std::string m_strQuiet;   // SET LOCAL ... of the settings to switch off
    std::string m_strBack;    // SET LOCAL ... with the values read
    std::string m_strResume;  // the statement that gives the session its sampling back
    std::vector<std::string> m_vecUnprotected;
};

}  // namespace UnifiedUpgradeComponent
