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

size_t SkipBlanks(const std::string& strLine, size_t nPos)
{
    while (nPos < strLine.size() && (strLine[nPos] == ' ' || strLine[nPos] == '\t'))
        ++nPos;
    return nPos;
}

// Position just past the quote that closes the value opened at nOpen. Doubled
// quotes stay inside, as do backslash escapes where bBackslash (libpq syntax);
// an unterminated value runs to the end of the line, so it is masked whole.
size_t QuotedEnd(const std::string& strLine, size_t nOpen, bool bBackslash)
{
    size_t nPos = nOpen + 1;
    while (nPos < strLine.size()) {
        const char c = strLine[nPos];
        if (c == '\'') {
            if (nPos + 1 < strLine.size() && strLine[nPos + 1] == '\'') {
                nPos += 2;
                continue;
            }
            return nPos + 1;
        }
        nPos += (bBackslash && c == '\\' && nPos + 1 < strLine.size()) ? 2 : 1;
    }
    return nPos;
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
        const size_t nAfter = SkipBlanks(strLine, nPos + nKeyword);
        if (nAfter < strLine.size() && strLine[nAfter] == '\'') {
            // A SQL literal: '' inside belongs to the value.
            strResult.append(strLine, nPos, nAfter - nPos);
            strResult += "'***'";
            nPos = QuotedEnd(strLine, nAfter, false);
            continue;
        }
        if (nAfter < strLine.size() && strLine[nAfter] == '=') {
            // password=value (libpq connection strings) or password = '...' (SQL SET forms).
            const size_t nValue = SkipBlanks(strLine, nAfter + 1);
            size_t nEnd = nValue;
            if (nEnd < strLine.size() && strLine[nEnd] == '\'') {
                nEnd = QuotedEnd(strLine, nEnd, true);
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
