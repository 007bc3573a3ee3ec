// The approval migration's key walk against a table of keys held in memory:
// which ranges it converts and the position it stores, compared with the
// plain walk that steps 101 keys after a range with rows and 100 after an
// empty one. The look for the next key must change the cost, never the ranges.
#include <gtest/gtest.h>

#include <climits>
#include <regex>
#include <set>

#include "FakeConnect.h"
#include "Upgrade/1110To1120/KeyRangeWalk.h"
#include "Upgrade/1110To1120/UpgradeFunc_1120.h"

using namespace UnifiedUpgradeComponent;
using vsu_test::FakeRow;

namespace {

const char* const kTable = "visitor.visitor_appoint_record";

// Answers max, min and the next key above a value from its key set.
class CKeyedTable : public vsu_test::CFakeConnect {
public:
    explicit CKeyedTable(std::set<long long> keys) : keys(std::move(keys)) {}
    std::set<long long> keys;
    int nNextKeyQueries = 0;

    bool Query(const std::string& strSql) override {
        static const std::regex kAbove("SELECT min\\(id\\) FROM visitor\\.visitor_appoint_record WHERE id > (-?\\d+);");
        std::smatch match;
        std::optional<long long> key;  // the answer: max, min, or the next key above a value
        if (std::regex_match(strSql, match, kAbove)) {
            ++nNextKeyQueries;
            if (auto it = keys.upper_bound(std::stoll(match[1])); it != keys.end()) key = *it;
        } else if (!keys.empty()) {
            key = strSql.find("SELECT max(id)") == 0 ? *keys.rbegin() : *keys.begin();
        }
        const std::optional<std::string> value = key ? std::optional(std::to_string(*key)) : std::nullopt;
        OnRows(strSql, {{{"max", value}, {"min", value}}}, false, 1);
        return CFakeConnect::Query(strSql);
    }
};

// The plain walk: ranges that held rows, and the position after the last one.
std::pair<std::vector<long long>, long long> SteppedWalk(const std::set<long long>& keys, long long llCursor) {
    const long long llMax = keys.empty() ? 0 : *keys.rbegin();
    std::vector<long long> vecRowRanges;
    bool bLowestTaken = false;
    while (llCursor <= llMax) {
        if (llCursor == 0 && !bLowestTaken) {
            llCursor = keys.empty() ? 0 : *keys.begin();
            bLowestTaken = true;
        }
        const auto it = keys.lower_bound(llCursor);
        const bool bRows = it != keys.end() && *it <= llCursor + 100;
        if (bRows) vecRowRanges.push_back(llCursor);
        llCursor += bRows ? 101 : 100;
    }
    return {vecRowRanges, std::min<long long>(llCursor, INT_MAX)};
}

std::set<long long> Keys(long long llFrom, long long llTo, std::set<long long> extra = {}) {
    for (long long llKey = llFrom; llKey <= llTo; ++llKey) extra.insert(llKey);
    return extra;
}

TEST(KeyRangeWalk, ConvertsTheRangesThatSteppingWouldAndJumpsGapsWithOneQueryEach) {
    const int kTop = INT_MAX;
    const struct {
        const char* szCase;
        std::set<long long> keys;
        int nStart;
    } cases[] = {
        {"keys 1 to 250", Keys(1, 250), 0},
        {"keys 1 to 50 and 900 to 1000", Keys(900, 1000, Keys(1, 50)), 0},
        {"a key shared by two ranges after a gap", Keys(1, 50, {302}), 0},
        {"empty table", {}, 0},
        {"stored -1", Keys(1, 10), -1},
        {"resumed inside, then a gap", Keys(380, 400, Keys(1, 160)), 150},
        {"top of the 32-bit keys", {kTop - 150, kTop - 49, kTop}, 0},
        {"negative keys", {-250, -120, 30, 100}, 0},
        {"start below 0 on the grid: 0 still yields to the lowest key", {-5000, 500}, -1000},
        {"one key at 2147483647 among 1,000", Keys(1, 1000, {kTop}), 0},
    };
    C1110ToC1120 step;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szCase);
        CKeyedTable table(c.keys);
        auto pConn = std::make_shared<CDBAccessConn>(&table);
        std::vector<long long> vecRowRanges;
        int nRangeQueries = 0;
        CKeyRangeWalk::SSettings settings;
        settings.szTable = kTable;
        settings.szLogName = "walk";
        settings.pRangeConn = settings.pBatchConn = settings.pProgressConn = pConn;
        long long llRange = 0;
        settings.fnQuery = [&](int* pStartKey, std::size_t& nRows) {
            ++nRangeQueries;
            llRange = *pStartKey;
            const auto it = c.keys.lower_bound(llRange);
            nRows = (it != c.keys.end() && *it <= llRange + CKeyRangeWalk::kBatchWidth) ? 1 : 0;
            return true;
        };
        settings.fnConvert = [&] {
            vecRowRanges.push_back(llRange);
            return true;
        };
        int nCode = 0;
        std::string strText;
        ASSERT_TRUE(CKeyRangeWalk(step, settings).Run(nCode, strText, 3, c.nStart));
        const auto expected = SteppedWalk(c.keys, c.nStart);
        EXPECT_EQ(vecRowRanges, expected.first);
        EXPECT_NE(table.Statements().back().find(
                      "SET schedule = 3, rate_progress = " + std::to_string(expected.second) + " "),
                  std::string::npos);
        // Each empty range read is followed by one look for the next key, which leads to rows or past max.
        EXPECT_EQ(table.nNextKeyQueries, nRangeQueries - static_cast<int>(expected.first.size()));
        EXPECT_LE(table.nNextKeyQueries, static_cast<int>(expected.first.size()) + 2);
    }
}

}  // namespace
