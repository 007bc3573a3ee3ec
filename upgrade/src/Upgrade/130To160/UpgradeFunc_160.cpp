#include "Upgrade/130To160/UpgradeFunc_160.h"

#include <memory>

#include "Upgrade/LogPosition.h"

namespace UnifiedUpgradeComponent {

namespace {
const SStepLiterals kLiterals = {"C130ToC160", "1.3.0", "1.6.0", "update_V1.2.0", nullptr, " "};

// One statement per table, whole, without batching.
const char* const kGroupFixUps[] = {
    "update visitor.visitor_record  set visitor_group_id = (select visitor.visit_group_visitor_rel.visitor_group_id "
    "from visitor.visit_group_visitor_rel where visitor.visit_group_visitor_rel.visitor_id = "
    "visitor.visitor_record.visitor_id order by visitor.visit_group_visitor_rel.update_time LIMIT 1)",
    "update visitor.visitor_appoint_record  set visitor_group_id = (select "
    "visitor.visit_group_visitor_rel.visitor_group_id from visitor.visit_group_visitor_rel where "
    "visitor.visit_group_visitor_rel.visitor_id = visitor.visitor_appoint_record.visitor_id order by "
    "visitor.visit_group_visitor_rel.update_time LIMIT 1)",
};
}  // namespace

C130ToC160::C130ToC160() : CScriptStep(kLiterals, CScriptStep::NO_INCREMENTAL_SCRIPT) {}

bool C130ToC160::UpgradeCourse_Records(int& nErrorCode, std::string& strErrorInfo, db_layer::CConnect* /*pFirstConn*/,
                                       db_layer::CConnect* pSecondConn, db_layer::DBParam /*dbParam*/) {
    auto pSecond = std::make_shared<CDBAccessConn>(pSecondConn);
    // A failed fix-up is logged and passed over: the group is derived data, the version step goes on.
    for (const char* szSql : kGroupFixUps) {
        if (pSecond->ExecuteHelper(szSql)) continue;
        pSecond->GetLastError(nErrorCode, strErrorInfo);
        UPG_LOG(LOG_ERROR,
                "[%s]update visitor.visitor_record  set visitor_group_id  failed, errorcode:%d, errorinfo:%s[%s(%d)]",
                QualifiedName("UpgradeCourse_Records").c_str(), nErrorCode, strErrorInfo.c_str());
    }
    SetUpgradeFinished(nErrorCode, strErrorInfo, pSecond);
    return true;
}

}  // namespace UnifiedUpgradeComponent
