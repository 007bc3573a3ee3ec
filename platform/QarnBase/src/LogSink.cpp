// The process-wide log sink: one mutex guards the target, the level filter and
// the capture, so lines of several threads never interleave.
#include "Qarn/Base/LogSink.h"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "Qarn/Base/TimeUtil.h"

namespace Qarn {
namespace Base {

namespace {

struct SSinkState {
    // Recursive: a capture callback (a host's) may itself log without deadlocking.
    std::recursive_mutex mutex;
    std::FILE* pFile = nullptr;  // null: stderr
    int nMinLevel = 0;
    CLogSink::Capture fnCapture;
    bool bEcho = false;
};

SSinkState& State()
{
    // Never destroyed: threads or static destructors may still log at exit.
    static SSinkState* pState = new SSinkState();
    return *pState;
}

void CloseFileLocked(SSinkState& state)
{
    if (state.pFile != nullptr) {
        std::fclose(state.pFile);
        state.pFile = nullptr;
    }
}

bool MatchesKeyword(const std::string& strLine, size_t nAt, const char* szKeyword, size_t nLength)
{
    if (nAt + nLength > strLine.size())
        return false;
    for (size_t i = 0; i < nLength; ++i) {
        if (std::tolower(static_cast<unsigned char>(strLine[nAt + i])) != szKeyword[i])
            return false;
    }
    return true;
}

bool IsWordChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

}  // namespace

bool CLogSink::SetFile(const std::string& strPath)
{
    std::FILE* pFile = std::fopen(strPath.c_str(), "a");
    if (pFile == nullptr)
        return false;
    SSinkState& state = State();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    CloseFileLocked(state);
    state.pFile = pFile;
    return true;
}

void CLogSink::SetStderr()
{
    SSinkState& state = State();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    CloseFileLocked(state);
}

void CLogSink::SetMinLevel(int nLevel)
{
    SSinkState& state = State();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    state.nMinLevel = nLevel;
}

void CLogSink::SetCapture(Capture fnCapture, bool bEcho)
{
    SSinkState& state = State();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    state.fnCapture = std::move(fnCapture);
    state.bEcho = bEcho;
}

void CLogSink::Reset()
{
    SSinkState& state = State();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    CloseFileLocked(state);
    state.nMinLevel = 0;
    state.fnCapture = nullptr;
    state.bEcho = false;
}

const char* CLogSink::LevelName(int nLevel)
{
    switch (nLevel) {
    case 3:
        return "INFO";
    case 4:
        return "WARN";
    case 5:
        return "ERROR";
    default:
        break;
    }
    // Valid until this thread asks again; every caller copies it at once.
    thread_local char szName[16];
    std::snprintf(szName, sizeof(szName), "L%d", nLevel);
    return szName;
}

std::string CLogSink::MaskSecrets(const std::string& strLine)
{
    static const char kKeyword[] = "password";
    const size_t nKeyword = sizeof(kKeyword) - 1;
    std::string strResult;
    strResult.reserve(strLine.size());
    size_t nPos = 0;
    while (nPos < strLine.size()) {
        const bool bWordStart = nPos == 0 || !IsWordChar(strLine[nPos - 1]);
        if (!bWordStart || !MatchesKeyword(strLine, nPos, kKeyword, nKeyword)) {
            strResult += strLine[nPos++];
            continue;
        }
        size_t nAfter = nPos + nKeyword;
        while (nAfter < strLine.size() && (strLine[nAfter] == ' ' || strLine[nAfter] == '\t'))
            ++nAfter;
        if (nAfter < strLine.size() && strLine[nAfter] == '\'') {
            // A SQL literal: '' inside belongs to the value; an unterminated
            // value runs to the end of the line and is masked whole.
            size_t nEnd = nAfter + 1;
            while (nEnd < strLine.size()) {
                if (strLine[nEnd] == '\'') {
                    if (nEnd + 1 < strLine.size() && strLine[nEnd + 1] == '\'') {
                        nEnd += 2;
                        continue;
                    }
                    break;
                }
                ++nEnd;
            }
            strResult.append(strLine, nPos, nAfter - nPos);
            strResult += "'***'";
            nPos = nEnd < strLine.size() ? nEnd + 1 : nEnd;
            continue;
        }
        if (nAfter < strLine.size() && strLine[nAfter] == '=') {
            // A libpq connection string: password=value or password='va\'lue'.
            size_t nValue = nAfter + 1;
            while (nValue < strLine.size() && (strLine[nValue] == ' ' || strLine[nValue] == '\t'))
                ++nValue;
            size_t nEnd = nValue;
            if (nEnd < strLine.size() && strLine[nEnd] == '\'') {
                ++nEnd;
                while (nEnd < strLine.size() && strLine[nEnd] != '\'') {
                    if (strLine[nEnd] == '\\' && nEnd + 1 < strLine.size())
                        ++nEnd;
                    ++nEnd;
                }
                if (nEnd < strLine.size())
                    ++nEnd;
            } else {
                while (nEnd < strLine.size() && !std::isspace(static_cast<unsigned char>(strLine[nEnd])))
                    ++nEnd;
            }
            if (nEnd > nValue) {
                strResult.append(strLine, nPos, nValue - nPos);
                strResult += "***";
                nPos = nEnd;
                continue;
            }
        }
        strResult.append(strLine, nPos, nKeyword);
        nPos += nKeyword;
    }
    return strResult;
}

void CLogSink::Write(int nLevel, const char* szModule, const std::string& strMessage)
{
    SSinkState& state = State();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    if (nLevel < state.nMinLevel)
        return;
    std::string strLine = TimeUtil::TimeT2StrUTCTimeStamp(static_cast<std::int64_t>(std::time(nullptr)));
    strLine += ' ';
    strLine += LevelName(nLevel);
    strLine += ' ';
    strLine += szModule != nullptr ? szModule : "-";
    strLine += ' ';
    strLine += strMessage;
    strLine = MaskSecrets(strLine);

    if (state.fnCapture) {
        // A copy: the callback may replace or remove the capture while it runs.
        const Capture fnCapture = state.fnCapture;
        fnCapture(nLevel, strLine);
        if (!state.bEcho)
            return;
    }
    std::FILE* pOut = state.pFile != nullptr ? state.pFile : stderr;
    std::fwrite(strLine.data(), 1, strLine.size(), pOut);
    std::fputc('\n', pOut);
    std::fflush(pOut);
}

}  // namespace Base
}  // namespace Qarn
