// First step of the chain, from a module database without version to 1.0.0:
// the configuration pass runs the foreign-table scripts against "lumo" and
// builds access levels, visit groups and memberships; the records pass copies
// rt_data.visitor_record in resumable id ranges. Stateless between calls.
#pragma once
#include <string>
#include <vector>

#include "Upgrade/ModuleUpgradeBase.h"
#include "Upgrade/RawTo100/VisitorRecordRow.h"

namespace UnifiedUpgradeComponent {

class CRawTo100 : public CModuleUpgradeBase {
public:
    // Ids covered by one range of the records copy (start .. start + 10000).
    static constexpr int kRangeWidth = 10001;

    CRawTo100();

    bool UpgradeCourse_Config(int& nErrorCode, std::string& strErrorInfo, db_layer::CConnect* pFirstConn,
                              db_layer::CConnect* pSecondConn, db_layer::DBParam dbParam) override;
    bool UpgradeCourse_Records(int& nErrorCode, std::string& strErrorInfo, db_layer::CConnect* pFirstConn,
                               db_layer::CConnect* pSecondConn, db_layer::DBParam dbParam) override;
    bool UpgradeCourse_Config_IncreData(int& nErrorCode, std::string& strErrorInfo, db_layer::CConnect* pFirstConn,
                                        db_layer::CConnect* pSecondConn, db_layer::CConnect* pThirdConn,
                                        db_layer::DBParam dbParam) override;
    bool UpgradeCourse_Records_IncreData(int& nErrorCode, std::string& strErrorInfo, db_layer::CConnect* pFirstConn,
                                         db_layer::CConnect* pSecondConn, db_layer::CConnect* pThirdConn,
                                         db_layer::DBParam dbParam) override;

private:
    // Configuration pass. Reads go through pRead, everything else through pWrite.
    bool ImportForeignTables(int& nErrorCode, std::string& strErrorInfo, db_layer::DBParam dbParam,
                             DBAccessConnPtr pWrite);
    bool UpdateVisitorALTable(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pRead,
                              DBAccessConnPtr pWrite);
    bool UpdateVisitorGroupTable(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pRead,
                                 DBAccessConnPtr pWrite);
    bool UpdateVisitorGroupRelVisitorTable(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pRead,
                                           DBAccessConnPtr pWrite);

    // The module's reached version (step_ver of its status rows, the last row
    // wins; unchanged when there is no row). Read only when a row says a
    // records migration is under way, to tell the copy's state from a later step's.
    bool QueryReachedVersion(int& nErrorCode, std::string& strErrorInfo, std::string& strStepVer,
                             DBAccessConnPtr pConn);

    // Records pass, sub-step 1: copies the ranges from nStartId (0: the lowest
    // id) up to the highest id read at its start. Each range's rows and its
    // resume position are committed together; a run of empty ranges costs one
    // query for the next key. In bulk mode each range is first copied by one
    // set statement in its transaction; a range that it does not copy is then
    // read and inserted one row at a time as in the default mode.
    bool RecordsData2Destination_VisitorRecord(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pRead,
                                               DBAccessConnPtr pWrite, int nSchedule, int nStartId);
    // Bulk mode: whether the set statement writes exactly the values of the
    // default mode's text round trip (one database, one DateStyle, the same column
    // types); when not, the pass copies one row at a time and says so once.
    // strSequence: the sequence of the target's keys, "" when none.
    bool SetBasedCopyAgrees(const DBAccessConnPtr& pRead, const DBAccessConnPtr& pWrite, std::string& strSequence);
    // Bulk mode, in an open transaction: bCopied when the set statement copied
    // the range's rows; otherwise the statement is taken back (ROLLBACK, keys
    // drawn given back), its failure logged nowhere. False, with the error in
    // the out-fields, when the take-back failed.
    bool CopyRangeSetBased(int& nErrorCode, std::string& strErrorInfo, const DBAccessConnPtr& pWrite,
                           const std::string& strSequence, long long llStartId, bool& bCopied);
    bool QueryHistoryVisitorRecord(int& nErrorCode, std::string& strErrorInfo,
                                   std::vector<stru_visitor_record>& vecBatch, DBAccessConnPtr pRead, int nStartId);
    bool WriteDateToVisitorRecord(int& nErrorCode, std::string& strErrorInfo,
                                  std::vector<stru_visitor_record> vecBatch, DBAccessConnPtr pWrite);

    // The INSERT statement of one visit record.
    static std::string VisitorRecordInsert(const stru_visitor_record& row);
};

}  // namespace UnifiedUpgradeComponent
