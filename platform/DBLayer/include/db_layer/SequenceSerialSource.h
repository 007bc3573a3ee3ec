// The identifier source a host registers for db_layer::GloballySerial: new keys
// of one table drawn from a PostgreSQL sequence (the table's own serial sequence,
// or one made for it), first moved past the table's highest key, and reserved
// in blocks of kBlockSize draws per round trip. Unique across processes and
// runs, never meeting the table's other keys, and never above 2^31-1.
#pragma once
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "db_layer/CConnect.h"
#include "db_layer/DBLayerApi.h"
#include "db_layer/GloballySerial.h"

namespace db_layer {

class DBLAYER_API CSequenceSerialSource {
public:
    // strConnInfo: libpq connection string of the database that holds strTable;
    // the source opens its own connection on first use, so its draws never
    // mix with a caller's transaction.
    // Keys reserved by one round trip: a batch of the approval migration takes up to 101.
    static constexpr int kBlockSize = 1000;

    CSequenceSerialSource(std::string strConnInfo, std::string strTable, std::string strColumn,
                          int nBlockSize = kBlockSize);
    ~CSequenceSerialSource();
    CSequenceSerialSource(const CSequenceSerialSource&) = delete;
    CSequenceSerialSource& operator=(const CSequenceSerialSource&) = delete;

    // A new key, or -1 (the reason in LastError) when none can be drawn or the
    // next key would leave the 32-bit range. The key text is not used.
    long long Next(const std::string& strKey);
    std::string LastError() const;
    // The sequence the keys come from, once the first draw has found it.
    std::string SequenceName() const;

    // The function to hand to SetSerialSource; it keeps the source alive.
    static SerialSource AsSerialSource(std::shared_ptr<CSequenceSerialSource> pSource);

private:
    bool Prepare();
    bool Fail(const std::string& strWhat);
    // Draws nCount keys from the sequence into m_reserved.
    bool Reserve(int nCount);

    mutable std::mutex m_mutex;
    std::string m_strConnInfo;
    std::string m_strTable;
    std::string m_strColumn;
    std::string m_strSequence;
    std::string m_strLastError;
    int m_nBlockSize;
    std::deque<long long> m_reserved;  // drawn, not yet handed out, in drawing order
    bool m_bReady = false;
    CConnect m_conn;
};

}  // namespace db_layer
