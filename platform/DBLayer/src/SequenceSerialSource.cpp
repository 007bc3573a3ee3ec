#include "db_layer/SequenceSerialSource.h"

#include <climits>
#include <cstdlib>
#include <utility>

namespace db_layer {

namespace {

// Single quotes doubled: the connection runs with standard_conforming_strings=on.
std::string Quoted(const std::string& strValue) {
    std::string strOut = "'";
    for (char c : strValue) {
        strOut += c;
        if (c == '\'') strOut += '\'';
    }
    return strOut + "'";
}

// Name of the sequence made for a table whose key has none of its own.
std::string OwnSequenceName(const std::string& strTable, const std::string& strColumn) {
    return strTable + "_" + strColumn + "_serial_seq";
}

}  // namespace

CSequenceSerialSource::CSequenceSerialSource(std::string strConnInfo, std::string strTable, std::string strColumn,
                                             int nBlockSize)
    : m_strConnInfo(std::move(strConnInfo)),
      m_strTable(std::move(strTable)),
      m_strColumn(std::move(strColumn)),
      m_nBlockSize(nBlockSize > 0 ? nBlockSize : 1) {}

CSequenceSerialSource::~CSequenceSerialSource() { m_conn.Close(); }

SerialSource CSequenceSerialSource::AsSerialSource(std::shared_ptr<CSequenceSerialSource> pSource) {
    return [pSource](const std::string& strKey) { return pSource->Next(strKey); };
}

std::string CSequenceSerialSource::LastError() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_strLastError;
}

std::string CSequenceSerialSource::SequenceName() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_strSequence;
}

bool CSequenceSerialSource::Fail(const std::string& strWhat) {
    std::string strDb;
    m_conn.GetLastError(strDb);
    m_strLastError = strWhat + (strDb.empty() ? std::string() : ": " + strDb);
    m_bReady = false;  // the next draw opens and checks again
    return false;
}

bool CSequenceSerialSource::Prepare() {
    if (!m_conn.IsOpen() && !m_conn.Open(m_strConnInfo)) return Fail("cannot open the id source's connection");

    // The table's own sequence (owned by the column, or named by its default) is
    // what the platform's inserts draw from, so keys taken here never meet theirs.
    const std::string strFind =
        "SELECT COALESCE(pg_get_serial_sequence(" + Quoted(m_strTable) + ", " + Quoted(m_strColumn) +
        "), (SELECT substring(pg_get_expr(d.adbin, d.adrelid) from 'nextval\\(''([^'']+)''') FROM pg_attrdef d "
        "JOIN pg_attribute a ON a.attrelid = d.adrelid AND a.attnum = d.adnum WHERE d.adrelid = " +
        Quoted(m_strTable) + "::regclass AND a.attname = " + Quoted(m_strColumn) + ")) AS seq";
    if (!m_conn.Query(strFind)) return Fail("cannot look up the sequence of " + m_strTable);
    m_strSequence = (m_conn.IsEOF() || m_conn.IsNull("seq")) ? std::string() : m_conn.GetString("seq");
    if (m_strSequence.empty()) {
        m_strSequence = OwnSequenceName(m_strTable, m_strColumn);
        if (!m_conn.Execute("CREATE SEQUENCE IF NOT EXISTS " + m_strSequence + " AS integer"))
            return Fail("cannot create the sequence " + m_strSequence);
    }

    // Move the sequence past the table's highest key (keys written with explicit
    // values never advanced it). The lock serialises this between processes;
    // the sequence is only ever moved forward.
    const std::string strBump =
        "BEGIN; SELECT pg_advisory_xact_lock(hashtext(" + Quoted(m_strSequence) +
        ")); SELECT setval(" + Quoted(m_strSequence) + ", t.m) FROM (SELECT max(" + m_strColumn + ") AS m FROM " +
        m_strTable + ") t, " + m_strSequence + " s WHERE t.m IS NOT NULL AND t.m > 0 AND (t.m > s.last_value OR (t.m "
        "= s.last_value AND NOT s.is_called)); COMMIT;";
    if (!m_conn.Execute(strBump)) {
        m_conn.Execute("ROLLBACK");
        return Fail("cannot move the sequence " + m_strSequence + " past the keys of " + m_strTable);
    }
    m_bReady = true;
    return true;
}

// nextval once per key, all in one statement: every key is the sequence's own,
// so no other drawer (another source, the platform's inserts) can get it, and
// the keys need not be consecutive. The block stops at the sequence's maximum:
// a statement that ran past it would fail after drawing, and lose, every key
// below it.
bool CSequenceSerialSource::Reserve(int nCount) {
    const std::string strSequence = Quoted(m_strSequence);
    const std::string strDraw = "SELECT nextval(" + strSequence + ")::text AS id FROM generate_series(1, LEAST(" +
                                std::to_string(nCount) +
                                ", (SELECT (seqmax - coalesce(pg_sequence_last_value(seqrelid), seqmin - seqincrement)) "
                                "/ seqincrement FROM pg_sequence WHERE seqrelid = " +
                                strSequence + "::regclass)))";
    if (!m_conn.Query(strDraw)) return Fail("cannot draw from the sequence " + m_strSequence);
    for (; !m_conn.IsEOF(); m_conn.MoveNext()) {
        const std::string strId = m_conn.GetString("id");
        char* pEnd = nullptr;
        const long long llId = std::strtoll(strId.c_str(), &pEnd, 10);
        // A key that is no number is kept as 0, which Next refuses when its turn comes.
        m_reserved.push_back(!strId.empty() && *pEnd == '\0' ? llId : 0);
    }
    return !m_reserved.empty() || Fail("the sequence " + m_strSequence + " has no value left");
}

long long CSequenceSerialSource::Next(const std::string&) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_reserved.empty()) {
        if (!m_bReady && !Prepare()) return -1;
        if (!Reserve(m_nBlockSize)) return -1;
    }
    const long long llId = m_reserved.front();
    if (llId <= 0 || llId > INT_MAX) {
        // Keys only grow: every key after this one is refused as well.
        m_strLastError = "the sequence " + m_strSequence + " gave " + std::to_string(llId) + ", outside 1.." +
                         std::to_string(INT_MAX);
        return -1;
    }
    m_reserved.pop_front();
    return llId;
}

}  // namespace db_layer
