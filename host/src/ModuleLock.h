// The run's exclusive claim on one module database: a session-level advisory
// lock taken on the first connection, held until that connection closes (so a
// killed host leaves none behind). The caller keeps the connection open.
#pragma once
#include <cstdint>
#include <string>

#include "db_layer/CConnect.h"

namespace VisitorUpgradeHost {

class CModuleLock {
public:
    enum class EResult { kTaken, kHeldElsewhere, kFailed };

    // FNV-1a of "visitor-upgrade:" + the module identity: stable across
    // releases and servers, so any tool can compute the same key.
    static std::int64_t KeyOf(const std::string& strModuleIdentity);

    // Tries once, without waiting. kHeldElsewhere fills strDetail with the
    // holder's backend pid and client where the server tells them, and
    // nHolderPid with that pid (0 when not told: it let go meanwhile).
    // kFailed (either query refused) puts the server's error in strDetail.
    static EResult TryTake(db_layer::CConnect& conn, const std::string& strModuleIdentity, std::string& strDetail,
                           int& nHolderPid);
};

}  // namespace VisitorUpgradeHost
