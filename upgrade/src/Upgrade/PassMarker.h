// Marks of the configuration work of a step that took effect on a database, so
// that a repeated pass (after a kill, a failure of a later step, or a success)
// leaves the database as one run left it. A mark is written in the transaction
// of the work it marks and lives in the database beside the data it guards.
#pragma once
#include <functional>
#include <set>
#include <string>

#include "Upgrade/DBAccessConn.h"

namespace UnifiedUpgradeComponent {

class CPassMarker {
public:
    // The configuration pass of a step on its module database (second connection).
    static constexpr const char* kConfiguration = "configuration";
    // The incremental configuration pass of a step on the database it changes.
    static constexpr const char* kIncrementalConfiguration = "incremental_configuration";
    // The group fix-up of the records pass to 1.6.0.
    static constexpr const char* kGroupFixUp = "group_fixup";
    static constexpr const char* kCheckPoints = "check_point_rebuild";
    static constexpr const char* kSelfAppointFlags = "self_appoint_check_inversion";

    // strStepVer: the version the marks belong to ("1.12.0"); strOwner: the
    // qualified name of the pass, for log lines.
    CPassMarker(std::string strStepVer, std::string strOwner);

    // Creates the mark table when missing and reads the step's marks.
    bool Read(int& nErrorCode, std::string& strErrorInfo, std::set<std::string>& setParts, DBAccessConnPtr pConn);
    // Inserts the mark of one part; the caller holds the transaction of that part.
    bool Write(int& nErrorCode, std::string& strErrorInfo, const char* szPart, DBAccessConnPtr pConn);

    // Does fnWork once per database: when the part's mark is there, a level-3
    // line and true; otherwise BEGIN, fnWork, the mark, COMMIT on pConn. fnWork
    // fills the error fields and logs its own lines when it fails; it is rolled
    // back then. Every statement of fnWork on pConn commits with the mark or
    // not at all.
    bool RunOnce(int& nErrorCode, std::string& strErrorInfo, const char* szPart, DBAccessConnPtr pConn,
                 const std::function<bool()>& fnWork);
    // The same, handing fnWork the step's marks as read, for work whose parts
    // an earlier run may have marked under other names.
    bool RunOnceWithMarks(int& nErrorCode, std::string& strErrorInfo, const char* szPart, DBAccessConnPtr pConn,
                          const std::function<bool(const std::set<std::string>&)>& fnWork);

private:
    // Copies the wrapper's failure and logs "<what> failed" at level 5.
    bool Fail(int& nErrorCode, std::string& strErrorInfo, const char* szWhat, const char* szPart,
              DBAccessConnPtr pConn);

    std::string m_strStepVer;
    std::string m_strOwner;
};

}  // namespace UnifiedUpgradeComponent
