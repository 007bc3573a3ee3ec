// The batch walk of the approval migration over one table's 32-bit keys: ranges
// of 101 keys from a start position to max(key), each range that holds rows
// converted in one transaction, the position after the walk stored as progress.
// Borrows the step and the wrappers for one call; keeps nothing afterwards.
#pragma once
#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "Upgrade/DBAccessConn.h"
#include "Upgrade/ModuleUpgradeBase.h"

namespace UnifiedUpgradeComponent {

class CKeyRangeWalk {
public:
    struct SSettings {
        const char* szTable = nullptr;      // "visitor.visitor_appoint_record"
        const char* szLogName = nullptr;    // qualified name of the driver, for its failure lines
        DBAccessConnPtr pRangeConn;         // max and min of the key, the next key after an empty range
        DBAccessConnPtr pBatchConn;         // the transaction of each batch
        DBAccessConnPtr pProgressConn;      // the progress update after the walk
        // Reads the batch of keys from *pStartKey to *pStartKey + 100 into the
        // caller's list (cleared first) and sets the number of rows read.
        std::function<bool(int* pStartKey, std::size_t& nRowsRead)> fnQuery;
        // Optional: removes the rows that an earlier run converted and returns
        // how many are left. Without it every row read is converted.
        std::function<std::size_t()> fnDropConverted;
        // Builds and sends the batch's statements; runs inside the transaction.
        std::function<bool()> fnConvert;
    };

    static constexpr int kBatchWidth = 100;  // a range holds its start key + 100 keys

    CKeyRangeWalk(CModuleUpgradeBase& step, SSettings settings);

    // Walks from nStartPosition (0: the table's lowest key); the schedule is
    // written back unchanged with the final position.
    bool Run(int& nErrorCode, std::string& strErrorInfo, int nSchedule, int nStartPosition);

    // Where the walk goes on after the empty range at llCursor (llCursor <= nMax):
    // the first later start llCursor + k * 100 whose range holds llNextKey (a key
    // above the empty range), or the first such start past nMax when there is no
    // next key within max. These are the starts a walk stepping by 100 would
    // reach with rows; a start of 0 on the way is kept while the lowest key has
    // not taken the place of one, as stepping would meet it.
    static long long AfterEmptyRange(long long llCursor, std::optional<long long> llNextKey, int nMax,
                                     bool bLowestKeyTaken);

private:
    // The lowest key above llAbove; none when the table has no such key.
    bool QueryNextKey(int& nErrorCode, std::string& strErrorInfo, long long llAbove,
                      std::optional<long long>& llNextKey);
    // Copies the failure of a transaction call and logs it with the range's keys.
    bool TransactionFailed(int& nErrorCode, std::string& strErrorInfo, const char* szCall, long long llFrom);

    CModuleUpgradeBase& m_step;
    SSettings m_settings;
};

}  // namespace UnifiedUpgradeComponent
