#include "VerifyReport.h"

#include <cstdio>

#include "JsonText.h"

namespace VisitorUpgradeHost {

namespace {

const char* OutcomeName(EVerifyOutcome eOutcome) {
    switch (eOutcome) {
        case EVerifyOutcome::kPass:
            return "PASS";
        case EVerifyOutcome::kFail:
            return "FAIL";
        case EVerifyOutcome::kSkip:
            return "SKIP";
        case EVerifyOutcome::kError:
            break;
    }
    return "ERROR";
}

// Keys carry stored texts (guids, flow numbers): a control byte in one must not
// start a new line or move the cursor. Blanks and UTF-8 stay readable.
std::string OnOneLine(const std::string& strText) {
    std::string strOut;
    for (unsigned char c : strText) {
        if (c < 0x20 || c == 0x7f) {
            char szHex[8];
            std::snprintf(szHex, sizeof szHex, "\\x%02X", c);
            strOut += szHex;
        } else {
            strOut += static_cast<char>(c);
        }
    }
    return strOut;
}

// A count from the server is decimal digits; anything else (a check that did not run) is null.
std::string JsonCount(const std::string& strCount) {
    if (strCount.empty() || strCount.find_first_not_of("0123456789") != std::string::npos) return "null";
    return strCount;
}

}  // namespace

bool CVerifyReport::AllHold() const {
    for (const SVerifyResult& result : m_vecResults) {
        if (result.eOutcome == EVerifyOutcome::kFail || result.eOutcome == EVerifyOutcome::kError) return false;
    }
    return true;
}

void CVerifyReport::PrintText(std::ostream& out) const {
    size_t nNotHeld = 0;
    for (const SVerifyResult& result : m_vecResults) {
        out << OutcomeName(result.eOutcome) << ' ' << result.strName << ": ";
        switch (result.eOutcome) {
            case EVerifyOutcome::kPass:
            case EVerifyOutcome::kFail:
                out << result.strChecked << " checked, " << result.strOffending << " offending; " << result.strWhat
                    << '\n';
                break;
            case EVerifyOutcome::kSkip:
                out << OnOneLine(result.strReason) << '\n';
                break;
            case EVerifyOutcome::kError:
                out << "could not check that " << result.strWhat << ": " << OnOneLine(result.strReason) << '\n';
                break;
        }
        for (const std::string& strKey : result.vecKeys) out << "    " << OnOneLine(strKey) << '\n';
        if (result.eOutcome == EVerifyOutcome::kFail || result.eOutcome == EVerifyOutcome::kError) ++nNotHeld;
    }
    if (nNotHeld == 0) {
        out << "verify: PASS, every check holds\n";
    } else {
        out << "verify: FAIL, " << nNotHeld << " of " << m_vecResults.size() << " checks do not hold\n";
    }
    out.flush();
}

void CVerifyReport::PrintJson(std::ostream& out) const {
    out << "{\"result\":" << CJsonText::Quoted(AllHold() ? "PASS" : "FAIL") << ",\"checks\":[";
    for (size_t i = 0; i < m_vecResults.size(); ++i) {
        const SVerifyResult& result = m_vecResults[i];
        out << (i == 0 ? "" : ",") << "\n {\"name\":" << CJsonText::Quoted(result.strName)
            << ",\"database\":" << CJsonText::Quoted(result.strDatabase)
            << ",\"result\":" << CJsonText::Quoted(OutcomeName(result.eOutcome))
            << ",\"what\":" << CJsonText::Quoted(result.strWhat) << ",\"checked\":" << JsonCount(result.strChecked)
            << ",\"offending\":" << JsonCount(result.strOffending) << ",\"keys\":[";
        for (size_t k = 0; k < result.vecKeys.size(); ++k) {
            out << (k == 0 ? "" : ",") << CJsonText::Quoted(result.vecKeys[k]);
        }
        out << "]";
        if (!result.strReason.empty()) out << ",\"reason\":" << CJsonText::Quoted(result.strReason);
        out << "}";
    }
    out << "\n]}\n";
    out.flush();
}

}  // namespace VisitorUpgradeHost
