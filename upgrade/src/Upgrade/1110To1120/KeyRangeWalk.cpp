#include "Upgrade/1110To1120/KeyRangeWalk.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <utility>

#include "Qarn/Base/StringUtil.h"
#include "Upgrade/LogPosition.h"

namespace UnifiedUpgradeComponent {

namespace {
// The range after an empty one starts 100 keys on (it shares the empty one's
// last key); after a converted one, 101 keys on.
constexpr long long kEmptyStep = CKeyRangeWalk::kBatchWidth;
constexpr long long kConvertedStep = CKeyRangeWalk::kBatchWidth + 1;

const char* const kSelectNextKey = "SELECT min(id) FROM %s WHERE id > %lld;";
const char* const kTransactionFailed =
    "[%s][C1110ToC1120::RecordsData2Destination_MEM] %s failed, keys %lld to %lld, Error Code:%d, Error "
    "Info:%s.[%s(%d)]";
}  // namespace

CKeyRangeWalk::CKeyRangeWalk(CModuleUpgradeBase& step, SSettings settings)
    : m_step(step), m_settings(std::move(settings)) {}

long long CKeyRangeWalk::AfterEmptyRange(long long llCursor, std::optional<long long> llNextKey, int nMax,
                                         bool bLowestKeyTaken) {
    const long long llPastMax = llCursor + ((nMax - llCursor) / kEmptyStep + 1) * kEmptyStep;
    long long llTarget = llPastMax;
    if (llNextKey && *llNextKey <= nMax) {
        // The first k >= 1 with llCursor + k * 100 + 100 >= next key.
        const long long llBeyond = *llNextKey - llCursor - kBatchWidth;
        const long long llSteps = llBeyond <= 0 ? 1 : std::max(1LL, (llBeyond + kEmptyStep - 1) / kEmptyStep);
        llTarget = std::min(llCursor + llSteps * kEmptyStep, llPastMax);
    }
    if (!bLowestKeyTaken && llCursor < 0 && llTarget > 0 && (-llCursor) % kEmptyStep == 0) llTarget = 0;
    return llTarget;
}

bool CKeyRangeWalk::QueryNextKey(int& nErrorCode, std::string& strErrorInfo, long long llAbove,
                                 std::optional<long long>& llNextKey) {
    llNextKey.reset();
    const std::string strSql = Qarn::Base::StringUtil::str_fmt(kSelectNextKey, m_settings.szTable, llAbove);
    // Read as text: a key beyond 32 bits lies past max and ends the walk, it is no failure.
    if (m_settings.pRangeConn->ExecuteQuery(strSql, [&llNextKey](db_layer::CConnect& conn) {
            if (!conn.IsEOF() && !conn.IsNull("min"))
                llNextKey = std::strtoll(conn.GetString("min").c_str(), nullptr, 10);
        }))
        return true;
    return m_settings.pRangeConn->CopyErrorAndFail(nErrorCode, strErrorInfo);
}

bool CKeyRangeWalk::TransactionFailed(int& nErrorCode, std::string& strErrorInfo, const char* szCall,
                                      long long llFrom) {
    return m_settings.pBatchConn->CopyErrorAndFail(nErrorCode, strErrorInfo, [&] {
        UPG_LOG(LOG_ERROR, kTransactionFailed, m_settings.szLogName, szCall, llFrom, llFrom + kBatchWidth, nErrorCode,
                strErrorInfo.c_str());
    });
}

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
            if (!m_step.SetUpgradeProgress(nErrorCode, strErrorInfo, nSchedule, nProgress, m_settings.pProgressConn)) {
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
            // One query finds where rows go on, instead of one per empty range.
            std::optional<long long> llNextKey;
            if (!QueryNextKey(nErrorCode, strErrorInfo, llCursor + kBatchWidth, llNextKey)) return false;
            llCursor = AfterEmptyRange(llCursor, llNextKey, nMax, bLowestKeyTaken);
            continue;
        }
        const std::size_t nToConvert = m_settings.fnDropConverted ? m_settings.fnDropConverted() : nRowsRead;
        if (nToConvert > 0) {
            if (!m_settings.pBatchConn->BeginTransaction())
                return TransactionFailed(nErrorCode, strErrorInfo, "BeginTransaction", llCursor);
            if (!m_settings.fnConvert()) {
                // A failed rollback changes nothing: the server ends the transaction with the connection.
                m_settings.pBatchConn->Rollback();
                return false;
            }
            // A refused COMMIT took nothing and ended the transaction: the rows
            // stay unconverted, and no later range may store a position past them.
            if (!m_settings.pBatchConn->Commit())
                return TransactionFailed(nErrorCode, strErrorInfo, "Commit", llCursor);
        }
        llCursor += kConvertedStep;
    }
}

}  // namespace UnifiedUpgradeComponent
