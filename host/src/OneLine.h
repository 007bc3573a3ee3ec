// Folds a multi-line text (libpq and server messages) into one line, since the
// command promises one stderr line per failure. Stateless.
#pragma once
#include <string>

namespace VisitorUpgradeHost {

class COneLine {
public:
    // Newlines, carriage returns and tabs become blanks; trailing blanks go.
    static std::string Of(std::string strText);
};

}  // namespace VisitorUpgradeHost
