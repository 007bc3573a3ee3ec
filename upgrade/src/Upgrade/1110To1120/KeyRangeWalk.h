// The batch walk of the approval migration over one table's 32-bit keys: ranges
// of 101 keys from a start position to max(key), each range that holds rows
// converted in one transaction, the position after the walk stored as progress.
// Borrows the step and the wrappers for one call; keeps nothing afterwards.
#pragma once
#include <cstddef>
#include <functional>
#include <string>

#include "Upgrade/DBAccessConn.h"
#include "Upgrade/ModuleUpgradeBase.h"

namespace UnifiedUpgradeComponent {

class CKeyRangeWalk {
public:
    struct SSettings {
        const char* szTable = nullptr;      // "visitor.visitor_appoint_record"
        const char* szLogName = nullptr;    // qualified name of the driver, for its progress failure line
        DBAccessConnPtr pRangeConn;         // max and min of the key
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

private:
    CModuleUpgradeBase& m_step;
    SSettings m_settings;
};

}  // namespace UnifiedUpgradeComponent
