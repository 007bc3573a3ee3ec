#include "Upgrade/1110To1120/KeyRangeWalk.h"

#include <climits>
#include <utility>

#include "Upgrade/LogPosition.h"

namespace UnifiedUpgradeComponent {

CKeyRangeWalk::CKeyRangeWalk(CModuleUpgradeBase& step, SSettings settings)
    : m_step(step), m_settings(std::move(settings)) {}

bool CKeyRangeWalk::Run(int& nErrorCode, std::string& strErrorInfo, int nSchedule, int nStartPosition) {
    int nMax = 0;
    int nMin = 0;
    if (!m_step.QueryMaxMinValue(nErrorCode, strErrorInfo, &nMax, &nMin, m_settings.szTable, "id",
                                 m_settings.pRangeConn))
        return false;

    // 64-bit so that a walk ending at the top of the 32-bit key range steps past
    // max instead of wrapping. The lowest key replaces a start of 0 once only:
    // with negative keys the cursor could come back to 0 and restart for ever.
    long long llCursor = nStartPosition;
    bool bLowestKeyTaken = false;
    for (;;) {
        if (llCursor > nMax) {
            const int nProgress = llCursor > INT_MAX ? INT_MAX : static_cast<int>(llCursor);
            if (!m_step.SetUpgradeProgress(nErrorCode, strErrorInfo, nSchedule, nProgress,
                                           m_settings.pProgressConn)) {
                UPG_LOG(LOG_ERROR, "[%s][C1110ToC1120::RecordsData2Destination_MEM] Set upgrade status failed[%s(%d)]",
                        m_settings.szLogName);
                return false;
            }
            return true;
        }
        if (llCursor == 0 && !bLowestKeyTaken) {
            llCursor = nMin;
            bLowestKeyTaken = true;
        }

        int nStartKey = static_cast<int>(llCursor);
        std::size_t nRowsRead = 0;
        if (!m_settings.fnQuery(&nStartKey, nRowsRead)) return false;
        if (nRowsRead == 0) {
            llCursor += kBatchWidth;
            continue;
        }
        const std::size_t nToConvert = m_settings.fnDropConverted ? m_settings.fnDropConverted() : nRowsRead;
        if (nToConvert > 0) {
            m_settings.pBatchConn->BeginTransaction();
            if (!m_settings.fnConvert()) {
                m_settings.pBatchConn->Rollback();
                return false;
            }
            m_settings.pBatchConn->Commit();
        }
        llCursor += kBatchWidth + 1;
    }
}

}  // namespace UnifiedUpgradeComponent
