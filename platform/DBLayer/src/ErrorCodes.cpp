// SQLSTATE to error code: the five characters read as one base-36 number, so
// every server error keeps a distinct, stable code.
#include "db_layer/ErrorCodes.h"

namespace db_layer {

int SqlStateToCode(const char* szSqlState)
{
    if (szSqlState == nullptr)
        return 0;
    int nCode = 0;
    for (int i = 0; i < 5; ++i) {
        const char c = szSqlState[i];
        int nDigit;
        if (c >= '0' && c <= '9')
            nDigit = c - '0';
        else if (c >= 'A' && c <= 'Z')
            nDigit = c - 'A' + 10;
        else
            return 0;
        nCode = nCode * 36 + nDigit;
    }
    return szSqlState[5] == '\0' ? nCode : 0;
}

}  // namespace db_layer
