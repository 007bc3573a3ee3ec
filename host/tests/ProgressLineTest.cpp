#include <gtest/gtest.h>

#include <tuple>
#include <utility>
#include <vector>

#include "ProgressLine.h"

using namespace VisitorUpgradeHost;

namespace {

SProgress Look(const char* szPass, const char* szStep, const char* szTable, long long nElapsed, long long nDone = -1,
               long long nTotal = -1, double dRate = -1) {
    return {szPass, szStep, szTable, nElapsed, nDone, nTotal, dRate, ""};
}

TEST(ProgressLine, ShowsStepShareRateAndTimeLeft) {
    const char* const szVisits = "rt_data.visitor_record";
    struct SCase {
        SProgress progress;  // pass, step, table, elapsed, done, total, rate
        const char* szLine;
    };
    const SCase cases[] = {
        {Look("records", "CRawTo100", szVisits, 0), "records 0s | CRawTo100 visit records"},
        {Look("config", "C110ToC111", "", 3), "config 3s | C110ToC111"},
        {Look("records", "CRawTo100", szVisits, 42, 4100205, 10000000, 15230.4),
         "records 42s | CRawTo100 visit records | 41% 4,100,205 of 10,000,000 ids | 15,230/s | 6 min 28 s left"},
        {Look("records", "CRawTo100", szVisits, 9, 999999, 1000000, 0.6),
         "records 9s | CRawTo100 visit records | 99% 999,999 of 1,000,000 ids | 1/s | 2 s left"},
        {Look("records", "CRawTo100", szVisits, 1, 0, 0),
         "records 1s | CRawTo100 visit records | 100% 0 of 0 ids | 0 s left"},
        {Look("records", "CRawTo100", szVisits, 1, 120, 1000),
         "records 1s | CRawTo100 visit records | 12% 120 of 1,000 ids"},
        {Look("records", "CRawTo100", szVisits, 1, 120, 1000, 0),
         "records 1s | CRawTo100 visit records | 12% 120 of 1,000 ids | 0/s"},
        {Look("records-incr", "C1110ToC1120", "visitor.visitor_appoint_record", 7, 0, 10000000, 1000),
         "records-incr 7s | C1110ToC1120 appointments | 0% 0 of 10,000,000 ids | 1,000/s | 2 h 46 min left"},
        {Look("records", "CRawTo100", szVisits, 1, 1, 60, 1),
         "records 1s | CRawTo100 visit records | 1% 1 of 60 ids | 1/s | 59 s left"},
    };
    for (const SCase& c : cases) {
        EXPECT_EQ(CProgressLine::LineOf(c.progress), std::string("visitor-upgrade: ") + c.szLine);
    }
    EXPECT_EQ(CProgressLine::JsonOf(cases[2].progress),
              "{\"pass\":\"records\",\"step\":\"CRawTo100\",\"table\":\"rt_data.visitor_record\",\"done\":4100205,"
              "\"total\":10000000,\"rate\":15230,\"eta_s\":388,\"elapsed_s\":42,\"status\":\"\"}");
    EXPECT_EQ(CProgressLine::JsonOf(cases[1].progress),
              "{\"pass\":\"config\",\"step\":\"C110ToC111\",\"table\":null,\"done\":null,\"total\":null,\"rate\":null,"
              "\"eta_s\":null,\"elapsed_s\":3,\"status\":\"\"}");
}

// Looks every half second: (seconds, done as read) -> (done shown, rate).
TEST(ProgressLine, RateIsOverTheLastTenSecondsOfOneWalkThatNeverGoesBack) {
    CProgressLine line;
    const auto look = [&line](double dNow, long long nDone, const char* szStep = "CRawTo100") {
        SProgress progress = Look("records", szStep, "t", 0, nDone, 100000);
        line.Measure(dNow, progress);
        return std::make_pair(progress.nDone, progress.dRate);
    };
    EXPECT_EQ(look(0, 0), std::make_pair(0LL, -1.0));
    EXPECT_EQ(look(0.5, 500), std::make_pair(500LL, -1.0));
    EXPECT_EQ(look(1, 1000), std::make_pair(1000LL, 1000.0));
    for (double d = 1.5; d <= 10; d += 0.5) look(d, static_cast<long long>(d * 1000));
    for (double d = 10.5; d < 20; d += 0.5) look(d, 10000 + static_cast<long long>((d - 10) * 100));
    EXPECT_EQ(look(20, 11000), std::make_pair(11000LL, 100.0));  // 1,000/s before 10 s no longer counts
    // A look that read less than the one before.
    EXPECT_EQ(look(20.5, 0), std::make_pair(11000LL, 95.0));
    EXPECT_EQ(look(21, 11100), std::make_pair(11100LL, 100.0));
    // The next step walks its own table from its start.
    EXPECT_EQ(look(21.5, 5, "C1110ToC1120"), std::make_pair(5LL, -1.0));
}

TEST(ProgressLine, OffTerminalALineAtMostEveryTenSecondsAndAtEachStep) {
    CProgressLine line;
    const std::vector<std::tuple<const char*, const char*, long long, bool>> looks = {
        {"config", "CRawTo100", 0, true},    {"config", "CRawTo100", 9, false},   {"config", "CRawTo100", 10, true},
        {"config", "C100ToC130", 11, true},  {"config", "C100ToC130", 20, false}, {"records", "CRawTo100", 20, true},
        {"records", "CRawTo100", 29, false}, {"records", "CRawTo100", 30, true},
    };
    for (const auto& [szPass, szStep, nNow, bPrinted] : looks) {
        EXPECT_EQ(line.PrintsOffTerminal(szPass, szStep, nNow), bPrinted) << szPass << " " << szStep << " " << nNow;
    }
}

}  // namespace
