// Version step from 1.11.0 to 1.12.0: check points rebuilt per card reader and
// related component, self-appointment flags inverted, and every appointment and
// live appointment review tied to a process of the approval workflow, also in
// the incremental passes over three connections. Between calls it keeps only,
// for one records pass, the connections on which bulk mode stood down.
#pragma once
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "Upgrade/1110To1120/AppointRows.h"
#include "Upgrade/1110To1120/BulkBatch.h"
#include "Upgrade/1110To1120/CheckPointRows.h"
#include "Upgrade/1110To1120/DBCom.h"
#include "Upgrade/ModuleUpgradeBase.h"

namespace UnifiedUpgradeComponent {

class C1110ToC1120 : public CModuleUpgradeBase {
public:
    C1110ToC1120();
    ~C1110ToC1120() override;

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
    // Check points and self-appointment flags.
    bool UpgradeCourse_Config_CheakPoint(int& nErrorCode, std::string& strErrorInfo, db_layer::DBParam dbParam,
                                         DBAccessConnPtr pConn);
    bool UpgradeCourse_Config_CheakPoint(int& nErrorCode, std::string& strErrorInfo, db_layer::DBParam dbParam,
                                         DBAccessConnPtr pReadConn, DBAccessConnPtr pWriteConn);
    bool QueryAllCheakDoorPoint(int& nErrorCode, std::string& strErrorInfo, std::vector<stru_door_point>& vecPoints,
                                DBAccessConnPtr pConn);
    bool QueryCardReaderID(int& nErrorCode, std::string& strErrorInfo, std::vector<stru_check_point_info>& vecInfo,
                           DBAccessConnPtr pConn, int nDoorId, stru_door_point point);
    bool QueryComponentID(int& nErrorCode, std::string& strErrorInfo, std::vector<stru_check_point_info>& vecInfo,
                          DBAccessConnPtr pConn, stru_door_point point);
    bool InsertCheakPointInfo(int& nErrorCode, std::string& strErrorInfo,
                              const std::vector<stru_check_point_info>& vecInfo, DBAccessConnPtr pConn);
    bool UpdateSelfAppointInfo(int& nErrorCode, std::string& strErrorInfo, db_layer::DBParam dbParam,
                               DBAccessConnPtr pConn);

    // Appointments and reviews into the approval workflow.
    // pBulkConn: in bulk mode the connection of pConn, for the batches' set-based statements; null otherwise.
    bool Upgrade_Record_UpgradeVisitorRecord(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn,
                                             int nSchedule, int nStartPosition,
                                             db_layer::CConnect* pBulkConn = nullptr);
    bool Upgrade_Record_UpgradeVisitorReviewRecord(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn,
                                                   int nSchedule, int nStartPosition,
                                                   db_layer::CConnect* pBulkConn = nullptr);
    bool QueryApppointRecord(int& nErrorCode, std::string& strErrorInfo, std::vector<stru_appoint_record>& vecRecords,
                             int* pStartKey, DBAccessConnPtr pConn);
    bool QueryApppointReviewRecord(int& nErrorCode, std::string& strErrorInfo,
                                   std::vector<stru_appoint_review_record>& vecRecords, int* pStartKey,
                                   DBAccessConnPtr pConn);
    bool InsertAppointRecord(int& nErrorCode, std::string& strErrorInfo,
                             const std::vector<stru_appoint_record>& vecRecords, DBAccessConnPtr pConn,
                             db_layer::CConnect* pBulkConn = nullptr);
    bool InsertAppointReviewRecord(int& nErrorCode, std::string& strErrorInfo,
                                   const std::vector<stru_appoint_review_record>& vecRecords, DBAccessConnPtr pConn,
                                   db_layer::CConnect* pBulkConn = nullptr);

    // The incremental records pass.
    bool IncreUpgrade_Record_UpgradeVisitorRecord(int& nErrorCode, std::string& strErrorInfo, stru_db_com& dbCom,
                                                  int nSchedule, int nStartPosition);
    bool IncreUpgrade_Record_UpgradeVisitorReviewRecord(int& nErrorCode, std::string& strErrorInfo,
                                                        stru_db_com& dbCom, int nSchedule, int nStartPosition);
    bool QueryApppointRecordForIncreUpdate(int& nErrorCode, std::string& strErrorInfo,
                                           std::vector<stru_appoint_record>& vecRecords, int* pStartKey,
                                           DBAccessConnPtr pConn);
    bool InsertAppointRecordForIncre(int& nErrorCode, std::string& strErrorInfo,
                                     const std::vector<stru_appoint_record>& vecRecords, stru_db_com& dbCom);

    // bLeave: the first and the second connection reach one database whose check
    // points the configuration pass already rebuilt (its mark is among setSecondMarks).
    bool CheckPointsRebuiltInSharedDatabase(int& nErrorCode, std::string& strErrorInfo, bool& bLeave,
                                            DBAccessConnPtr pFirst, DBAccessConnPtr pSecond,
                                            const std::set<std::string>& setSecondMarks, const std::string& strName);
    bool QueryAppointBatch(int& nErrorCode, std::string& strErrorInfo, std::vector<stru_appoint_record>& vecRecords,
                           int* pStartKey, DBAccessConnPtr pConn, bool bWithChangeMarker, const char* szOperation);
    // The failures of one id draw or flow number look-up, with their lines: the
    // wrapper's stored failure copied, the operation's own line logged; false.
    // szDraw: kProcessIdDraw or kNodeIdDraw, the operation whose draw failed.
    bool IdDrawFailed(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn, const char* szDraw);
    static constexpr const char* kProcessIdDraw = "QueryNextIdOfApproveProcess";
    static constexpr const char* kNodeIdDraw = "QueryNextIdOfApproveProcessNode";
    bool FlowNumLookupFailed(int& nErrorCode, std::string& strErrorInfo, DBAccessConnPtr pConn);
    // Whether the process draw at nProcessDraw and the node draw after it were
    // answered (of nAnswered statements of a batch); if not, the failure and
    // the lines that drawing one id at a time would have given.
    bool DrawnWorkflowIds(int& nErrorCode, std::string& strErrorInfo, std::size_t nAnswered, std::size_t nProcessDraw,
                          DBAccessConnPtr pConn, const char* szOperation);
    // The checks of a review batch's ids, record by record, with the lines of one draw at a time.
    bool ReviewIdsDrawn(int& nErrorCode, std::string& strErrorInfo, const std::vector<long long>& vecAppointIds,
                        std::size_t nAnswered, DBAccessConnPtr pConn);
    bool SendBatchText(int& nErrorCode, std::string& strErrorInfo, const std::string& strSql, DBAccessConnPtr pConn,
                       const char* szOperation);
    // Sends a batch's rows, built by fnBuild in the set-based form (bulk mode)
    // or as the default mode's text: in bulk mode the set-based form first, and
    // the default text only when that failed and was taken back, so that the
    // failure is reported by the default mode's statement and lines.
    bool WriteBatch(int& nErrorCode, std::string& strErrorInfo, CBulkBatch& bulk,
                    const std::function<std::string(bool bSet)>& fnBuild, DBAccessConnPtr pConn,
                    const char* szOperation);
    // The bulk connection of a batch: null once bulk mode stood down on it.
    db_layer::CConnect* BulkConn(db_layer::CConnect* pBulkConn) const {
        return m_setBulkStoodDown.count(pBulkConn) != 0 ? nullptr : pBulkConn;
    }

    // The connections whose database refused a batch's set-based form where its
    // default text then went through, for a reason other than a lock, a
    // deadlock or a cancel: the cause is that database's schema (a trigger, a
    // column's type), not a row, and would refuse every later batch there the
    // same way, each one then paying for both forms. Cleared when a records
    // pass starts.
    std::set<const db_layer::CConnect*> m_setBulkStoodDown;
};

}  // namespace UnifiedUpgradeComponent
