// Error codes of CConnect::GetLastError. A server error gives its SQLSTATE read
// as a base-36 number (always > 1); failures without SQLSTATE use the fixed
// negative codes below. The error text always names the SQLSTATE or the case.
#pragma once
#include "db_layer/DBLayerApi.h"

namespace db_layer {
namespace ErrorCode {

constexpr int kNone = 0;
constexpr int kNoConnection = -1;      // never opened, closed, or a null connection
constexpr int kConnectionLost = -2;    // the server went away during the call
constexpr int kEmptyStatement = -3;    // an empty statement text was given
constexpr int kUnreadableValue = -4;   // a GetInt/GetString the result could not answer
constexpr int kNoResult = -5;          // libpq returned no result (out of memory, protocol)
constexpr int kTransactionState = -6;  // Commit/Rollback without a transaction, or a failed one

}  // namespace ErrorCode

// "42P01" -> its base-36 value; anything that is not five [0-9A-Z] gives 0.
DBLAYER_API int SqlStateToCode(const char* szSqlState);

}  // namespace db_layer
