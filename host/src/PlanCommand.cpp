#include "PlanCommand.h"

#include <cstdlib>
#include <iostream>
#include <memory>

#include "EscapedText.h"
#include "HostConnections.h"
#include "JsonText.h"
#include "OneLine.h"
#include "PlanScriptHistory.h"
#include "ScriptCheck.h"
#include "StatusRows.h"
#include "StepTable.h"
#include "Upgrade/ModuleConstants.h"

namespace VisitorUpgradeHost {

namespace {

constexpr const char* kModuleIdentity = UnifiedUpgradeComponent::MODULE_IDENTITY;
const char* const kModuleDatabaseQuery =
    "SELECT (to_regclass('platform.module_version_status') IS NOT NULL)::int AS status_table, "
    "(to_regnamespace('visitor') IS NOT NULL)::int AS visitor_schema;";

bool IsIncremental(const std::string& strPass) { return strPass == "config-incr" || strPass == "records-incr"; }

// One text value of a query's first row; false with the server's reason.
bool QueryValue(db_layer::CConnect& conn, const std::string& strSql, const char* szColumn, std::string& strValue,
                std::string& strError) {
    if (!conn.Query(strSql) || conn.IsEOF()) {
        conn.GetLastError(strError);
        strError = COneLine::Of(strError);
        return false;
    }
    strValue = conn.GetString(szColumn);
    return true;
}

}  // namespace

CPlanCommand::CPlanCommand(SPlanOptions options) : m_options(std::move(options)) {}

int CPlanCommand::Execute() {
    const SPlanOptions& opt = m_options;
    std::string strError;
    std::unique_ptr<db_layer::CConnect> pDb1 = CHostConnections::OpenOne(opt.strDb1, "--db1", strError);
    std::unique_ptr<db_layer::CConnect> pDb3;
    if (pDb1 && !opt.strDb3.empty()) pDb3 = CHostConnections::OpenOne(opt.strDb3, "--db3", strError);
    if (!pDb1 || (!opt.strDb3.empty() && !pDb3)) {
        std::cerr << "visitor-upgrade: " << strError << std::endl;
        return 2;
    }
    // Whatever this command sends is refused a write by the server itself.
    for (db_layer::CConnect* pConn : {pDb1.get(), pDb3.get()}) {
        if (pConn != nullptr && !pConn->Execute("SET default_transaction_read_only = on;")) {
            pConn->GetLastError(strError);
            std::cerr << "visitor-upgrade: cannot make the connection read-only: " << COneLine::Of(strError)
                      << std::endl;
            return 2;
        }
    }
    const int nExitCode = Collect(*pDb1, pDb3.get());
    if (nExitCode != 0) return nExitCode;
    if (opt.bJson) {
        PrintJson();
    } else {
        PrintText();
    }
    return m_vecProblems.empty() ? 0 : 1;
}

int CPlanCommand::Collect(db_layer::CConnect& db1, db_layer::CConnect* pDb3) {
    const SPlanOptions& opt = m_options;
    std::string strError;
    if (!db1.Query(kModuleDatabaseQuery) || db1.IsEOF()) {
        db1.GetLastError(strError);
        std::cerr << "visitor-upgrade: cannot read --db1: " << COneLine::Of(strError) << std::endl;
        return 2;
    }
    if (db1.GetInt("status_table") == 0 || db1.GetInt("visitor_schema") == 0) {
        m_vecProblems.push_back(std::string("--db1 is not a module database: it has no ") +
                                (db1.GetInt("status_table") == 0 ? "table platform.module_version_status"
                                                                 : "schema visitor"));
        return 0;
    }

    std::vector<SStatusRow> vecRows;
    if (!CStatusRows::Read(db1, kModuleIdentity, vecRows, strError)) {
        std::cerr << "visitor-upgrade: cannot read platform.module_version_status: " << strError << std::endl;
        return 2;
    }
    // The row the records passes resume from: the approval migration's narrowed one when it is there.
    SStatusRow status;
    if (!vecRows.empty()) status = vecRows.back();
    for (const SStatusRow& row : vecRows) {
        if (row.strVersionNo == CStatusRows::kNarrowedVersionNo) status = row;
    }
    m_strInstalled = opt.strFrom.empty() ? status.strStepVer : opt.strFrom;
    m_strInstalledFrom = opt.strFrom.empty() ? "status row" : "--from";
    CVersionArgument installed;
    if (m_strInstalled.empty()) {
        m_vecProblems.push_back("the installed version is unknown: no status row of visitor.s names one; give --from");
        return 0;
    }
    if (!CVersionArgument::Parse(m_strInstalled, installed)) {
        m_vecProblems.push_back("the installed version \"" + CEscapedText::Of(m_strInstalled) +
                                "\" is not a version (" + CVersionArgument::kExpectedForm + ")");
        return 0;
    }
    CVersionArgument last;
    if (CVersionArgument::Parse(CStepTable::LastVersion(), last) && installed == last) return 0;
    const int nStart = CStepTable::FindStart(installed);
    if (nStart < 0) {
        m_vecProblems.push_back("no upgrade step starts at " + CEscapedText::Of(m_strInstalled) +
                                ": the steps start at " + CStepTable::FromVersions());
        return 0;
    }

    CPlanScriptHistory history1, history3;
    if (!history1.Read(db1, strError) || (pDb3 != nullptr && !history3.Read(*pDb3, strError))) {
        std::cerr << "visitor-upgrade: cannot read the script history: " << strError << std::endl;
        return 2;
    }
    std::vector<std::string> vecPasses = {"config", "records"};
    if (pDb3 != nullptr) vecPasses.insert(vecPasses.end(), {"config-incr", "records-incr"});
    for (const CStepTable::SChainStep& chainStep : CStepTable::Chain(nStart)) {
        SStepLine step{chainStep.strFrom, chainStep.strTo, chainStep.strClass, vecPasses, {}, "", -1, ""};
        for (const std::string& strPass : vecPasses) {
            const CPlanScriptHistory& history = IsIncremental(strPass) ? history3 : history1;
            for (const CStepTable::SScriptNeed& need : CStepTable::ScriptsNeeded(nStart, {strPass})) {
                if (need.strClass != step.strClass) continue;
                CScriptCheck::SScript script;
                std::string strProblem;
                SScriptLine line{strPass, script.strShownPath, 0, "", "missing"};
                if (!CScriptCheck::ReadOne(opt.strWorkdir, need, script, strProblem)) {
                    line.strPath = script.strShownPath;
                    m_vecProblems.push_back(strProblem);
                    step.vecScripts.push_back(line);
                    continue;
                }
                line = SScriptLine{strPass, script.strShownPath, script.nSize, script.strSha256, "not run before"};
                const CPlanScriptHistory::SRun* pRun = history.LastRun(script);
                if (pRun != nullptr && history.Changed(script)) {
                    line.strHistory = "changed since it ran on " + pRun->strTime;
                    m_vecProblems.push_back("delivered script " + script.strShownPath + " changed since it ran on " +
                                            pRun->strTime + " (run refuses it without --allow-changed-scripts)");
                } else if (pRun != nullptr) {
                    line.strHistory = "ran on " + pRun->strTime + " with this checksum";
                }
                step.vecScripts.push_back(line);
            }
        }
        step.strTable = CStepTable::WalkedTable(step.strClass);
        if (!step.strTable.empty()) {
            std::string strPresent, strMax, strRows;
            if (!QueryValue(db1, "SELECT (to_regclass('" + step.strTable + "') IS NOT NULL)::int AS present;",
                            "present", strPresent, strError)) {
                std::cerr << "visitor-upgrade: cannot read --db1: " << strError << std::endl;
                return 2;
            }
            if (strPresent == "1") {
                if (!QueryValue(db1, "SELECT count(*)::text AS n, coalesce(max(id), 0)::text AS hi FROM " +
                                         step.strTable + ";",
                                "n", strRows, strError)) {
                    std::cerr << "visitor-upgrade: cannot count " << step.strTable << ": " << strError << std::endl;
                    return 2;
                }
                strMax = db1.GetString("hi");
                step.nRows = std::stoll(strRows);
                // Only the first step of the chain can have been broken off in its records pass.
                if (m_vecSteps.empty() && status.strStatus == "2") {
                    const long long nAt = std::atoll(status.strRateProgress.c_str());
                    step.strResume = nAt > 0 ? "resumes at id " + std::to_string(nAt) + " of " + strMax
                                             : "was interrupted; starts again at the lowest id (of " + strMax + ")";
                }
            }
        }
        m_vecSteps.push_back(step);
    }
    return 0;
}

void CPlanCommand::PrintText() const {
    std::cout << "installed version: "
              << (m_strInstalled.empty() ? "unknown" : CEscapedText::Of(m_strInstalled) + " (" + m_strInstalledFrom + ")")
              << "\ntarget version: " << CStepTable::LastVersion() << "\n";
    for (const SStepLine& step : m_vecSteps) {
        std::string strPasses;
        for (const std::string& strPass : step.vecPasses) strPasses += (strPasses.empty() ? "" : ", ") + strPass;
        std::cout << "step " << step.strFrom << " -> " << step.strTo << " " << step.strClass << ": passes "
                  << strPasses << "\n";
        for (const SScriptLine& script : step.vecScripts) {
            std::cout << "  " << script.strPass << " script " << CEscapedText::Of(script.strPath);
            if (script.strSha256.empty()) {
                std::cout << " missing\n";
            } else {
                std::cout << " " << script.nSize << " bytes sha256 " << script.strSha256 << " " << script.strHistory
                          << "\n";
            }
        }
        if (step.strTable.empty()) continue;
        std::cout << "  records " << step.strTable << ": ";
        if (step.nRows < 0) {
            std::cout << "table not there\n";
        } else {
            std::cout << step.nRows << " rows to convert" << (step.strResume.empty() ? "" : ", " + step.strResume)
                      << "\n";
        }
    }
    if (m_vecSteps.empty() && m_vecProblems.empty()) std::cout << "nothing to do: the module is at the target version\n";
    for (const std::string& strProblem : m_vecProblems) std::cout << "the upgrade would fail: " << strProblem << "\n";
    if (m_vecProblems.empty()) std::cout << "runnable: " << m_vecSteps.size() << " steps\n";
    std::cout.flush();
}

void CPlanCommand::PrintJson() const {
    std::string strOut =
        "{\"installed\":" + (m_strInstalled.empty() ? std::string("null") : CJsonText::Quoted(m_strInstalled)) +
        ",\"installed_from\":" + CJsonText::Quoted(m_strInstalledFrom) +
        ",\"target\":" + CJsonText::Quoted(CStepTable::LastVersion()) +
        ",\"runnable\":" + (m_vecProblems.empty() ? "true" : "false") + ",\"steps\":[";
    for (size_t i = 0; i < m_vecSteps.size(); ++i) {
        const SStepLine& step = m_vecSteps[i];
        strOut += std::string(i > 0 ? "," : "") + "{\"from\":" + CJsonText::Quoted(step.strFrom) +
                  ",\"to\":" + CJsonText::Quoted(step.strTo) + ",\"class\":" + CJsonText::Quoted(step.strClass) +
                  ",\"passes\":[";
        for (size_t j = 0; j < step.vecPasses.size(); ++j)
            strOut += (j > 0 ? "," : "") + CJsonText::Quoted(step.vecPasses[j]);
        strOut += "],\"scripts\":[";
        for (size_t j = 0; j < step.vecScripts.size(); ++j) {
            const SScriptLine& script = step.vecScripts[j];
            const bool bMissing = script.strSha256.empty();
            strOut += std::string(j > 0 ? "," : "") + "{\"pass\":" + CJsonText::Quoted(script.strPass) +
                      ",\"path\":" + CJsonText::Quoted(script.strPath) +
                      ",\"size\":" + (bMissing ? "null" : std::to_string(script.nSize)) +
                      ",\"sha256\":" + (bMissing ? "null" : CJsonText::Quoted(script.strSha256)) +
                      ",\"history\":" + CJsonText::Quoted(script.strHistory) + "}";
        }
        strOut += "]";
        if (!step.strTable.empty()) {
            strOut += ",\"records\":{\"table\":" + CJsonText::Quoted(step.strTable) +
                      ",\"rows\":" + (step.nRows < 0 ? "null" : std::to_string(step.nRows)) +
                      ",\"resume\":" + (step.strResume.empty() ? "null" : CJsonText::Quoted(step.strResume)) + "}";
        }
        strOut += "}";
    }
    strOut += "],\"problems\":[";
    for (size_t i = 0; i < m_vecProblems.size(); ++i)
        strOut += (i > 0 ? "," : "") + CJsonText::Quoted(m_vecProblems[i]);
    std::cout << strOut << "]}" << std::endl;
}

}  // namespace VisitorUpgradeHost
