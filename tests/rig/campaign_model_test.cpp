// The campaign's expectations against the test's rules: where a cable fault first fails a
// check, and what a Stop handled after a given line of the log leads to.
#include "campaign_model.h"

#include "expected_log.h"

#include <gtest/gtest.h>

namespace
{
Scenario Cable(CableKind kind, long value = 0)
{
    Scenario s;
    s.cable = kind;
    s.value = value;
    return s;
}

TEST(CampaignModelTest, FirstFailingCheckOfEachFault)
{
    const struct
    {
        const char* name;
        Scenario scenario;
        unsigned long long streamStart;
        int failBlock;
        const char* why;
        unsigned long long consumed;
    } cases[] = {
        {"good", Cable(CableKind::Good), 0, 0, nullptr, 3072},
        {"hang-up with the first block's last byte", Cable(CableKind::HangUp, 512), 0, 1, kReadFailed, 512},
        {"hang-up one byte into the second", Cable(CableKind::HangUp, 513), 0, 2, kReadFailed, 513},
        {"echo of exactly one block", Cable(CableKind::EchoOnly, 512), 0, 2, kReadFailed, 1024},
        {"far end at 9600", Cable(CableKind::Mismatch, 9600), 0, 3, kCompareFailed, 1536},
        {"far end at 19200", Cable(CableKind::Mismatch, 19200), 0, 1, kCompareFailed, 512},
        {"last byte of the run", Cable(CableKind::Corrupt, 3071), 0, 6, kCompareFailed, 3072},
        {"offset a first run used up", Cable(CableKind::Corrupt, 100), 3072, 0, nullptr, 6144},
        {"echo within the bound", Cable(CableKind::Delay, 800), 0, 0, nullptr, 3072},
        {"echo past the bound", Cable(CableKind::Delay, 3000), 0, 1, kReadFailed, 512},
        {"stall", Cable(CableKind::Stall), 0, 1, kReadFailed, 0},
    };
    for (const auto& c : cases) {
        const RunModel run = ModelRun(c.scenario, c.streamStart);
        EXPECT_EQ(run.failBlock, c.failBlock) << c.name;
        EXPECT_EQ(run.ok, c.failBlock == 0) << c.name;
        EXPECT_EQ(run.consumed, c.consumed) << c.name;
        if (c.why != nullptr) {
            EXPECT_EQ(run.log, CutLog(kWriteLine[c.failBlock] + 1, {c.why})) << c.name;
            EXPECT_EQ(run.progress, (c.failBlock - 1) / 2) << c.name;
        } else {
            EXPECT_EQ(run.log, PassingLog()) << c.name;
        }
    }
}

// A driver that refuses a rate's setting ends the run at that rate's line, before its blocks.
TEST(CampaignModelTest, WhatARefusedRateShows)
{
    const std::string refused57600 = "Set baud rate to 57600 bps...\tFAILED!";
    Scenario corrupt = Cable(CableKind::Corrupt, 100);
    corrupt.refusedRate = 3;
    Scenario good = Cable(CableKind::Good);
    good.refusedRate = 2;
    RunModel stopped;
    ASSERT_TRUE(ModelStop(ModelRun(good, 0), 6, stopped));
    const struct
    {
        const char* name;
        RunModel run;
        std::vector<std::string> log;
        int progress;
    } cases[] = {
        {"the second rate", ModelRun(good, 0), CutLog(6, {refused57600}), 1},
        {"the cable's own fault first", ModelRun(corrupt, 0), CutLog(3, {kCompareFailed}), 0},
        {"Stop in the pause before it", stopped, CutLog(6, {kCancelled}), 1},
        {"pulled on the edge before it", ModelPull(good, 1024).back(), CutLog(6, {refused57600}), 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.run.log, c.log) << c.name;
        EXPECT_EQ(c.run.progress, c.progress) << c.name;
        EXPECT_FALSE(c.run.ok) << c.name;
    }
    EXPECT_EQ(ModelRun(good, 0).consumed, 1024u) << "no block is written at the refused rate";
    EXPECT_EQ(ModelPull(good, 1024).size(), 2u) << "the block after the edge is never written";

    // The driver counts every setting the run writes; the rates' come after `before` others.
    const struct
    {
        int nth, before, rate;
    } settings[] = {{4, 2, 2}, {4, 1, 3}, {2, 2, 0}, {5, 1, 0}};
    for (const auto& c : settings) {
        Scenario s;
        s.setStateFails = c.nth;
        s.RefuseRate(c.before);
        EXPECT_EQ(s.refusedRate, c.rate) << "setting " << c.nth << " after " << c.before;
    }
}

TEST(CampaignModelTest, UartLineThatStopsMidWriteFailsTheWrite)
{
    const struct
    {
        const char* name;
        Scenario scenario;
        std::vector<std::string> log;
    } cases[] = {
        {"hang-up with the first block's last byte", Cable(CableKind::HangUp, 512), CutLog(3, {kReadFailed})},
        {"hang-up one byte into the second", Cable(CableKind::HangUp, 513),
         CutLog(kWriteLine[2], {kWriteFailed, kReadFailed})},
        {"stall", Cable(CableKind::Stall), CutLog(kWriteLine[1], {kWriteFailed, kReadFailed})},
    };
    for (auto c : cases) {
        c.scenario.uartWrites = true;
        EXPECT_EQ(ModelRun(c.scenario, 0).log, c.log) << c.name;
    }
}

TEST(CampaignModelTest, WhereAStopLands)
{
    const struct
    {
        const char* name;
        Scenario scenario;
        size_t lines; // logged when the Stop was handled
        bool possible;
        std::vector<std::string> log;
        int progress;
        bool ok;
    } cases[] = {
        {"first pause", Cable(CableKind::Good), 1, true, CutLog(1, {kCancelled}), 0, false},
        {"no pause after the rate line", Cable(CableKind::Good), 2, false, {}, 0, false},
        {"short pause of the first check", Cable(CableKind::Good), 3, true, CutLog(3, {kCancelled, "Compare data...\tOK!"}), 0, false},
        {"short pause of a rate's second check", Cable(CableKind::Good), 5, true, CutLog(5, {kCancelled, "Compare data...\tOK!"}), 1, false},
        {"pause before 57600", Cable(CableKind::Good), 6, true, CutLog(6, {kCancelled}), 1, false},
        {"pause before 115200", Cable(CableKind::Good), 11, true, CutLog(11, {kCancelled}), 2, false},
        {"short pause of the last check", Cable(CableKind::Good), 15, true,
         CutLog(15, {kCancelled, "Compare data...\tOK!", "=== End Baudrate Test ==="}), 3, true},
        {"no pause after the last compare", Cable(CableKind::Good), 16, false, {}, 0, false},
        {"after the run", Cable(CableKind::Good), 17, true, CutLog(17, {kCancelled}), 3, true},
        {"short pause of the failing check", Cable(CableKind::Corrupt, 1100), 8, true, CutLog(8, {kCancelled, kCompareFailed}), 1, false},
        {"after a failed run", Cable(CableKind::NoEcho), 4, true, CutLog(3, {kReadFailed, kCancelled}), 0, false},
        {"past a failed run's end", Cable(CableKind::NoEcho), 6, false, {}, 0, false},
    };
    for (const auto& c : cases) {
        RunModel stopped;
        ASSERT_EQ(ModelStop(ModelRun(c.scenario, 0), c.lines, stopped), c.possible) << c.name;
        if (!c.possible)
            continue;
        EXPECT_EQ(stopped.log, c.log) << c.name;
        EXPECT_EQ(stopped.progress, c.progress) << c.name;
        EXPECT_EQ(stopped.ok, c.ok) << c.name;
    }
}

TEST(CampaignModelTest, WhatAPulledCableMayShow)
{
    const std::string wroteAll = "Write 512 bytes... [512/512] \tOK!";
    const std::string wroteNone = "Write 512 bytes... [0/512] \tFAILED!";
    const struct
    {
        const char* name;
        Scenario scenario;
        unsigned long long pulledIn;
        std::vector<std::string> seen;
        bool possible;
    } cases[] = {
        {"inside the second block, its write done", Cable(CableKind::Good), 700, CutLog(4, {wroteAll, kReadFailed}), true},
        {"inside the second block, its write cut", Cable(CableKind::Good), 700, CutLog(4, {wroteNone, kReadFailed}), true},
        {"not the block under way", Cable(CableKind::Good), 700, CutLog(2, {wroteAll, kReadFailed}), false},
        {"on an edge: that block's read", Cable(CableKind::Good), 1024, CutLog(4, {wroteAll, kReadFailed}), true},
        {"on an edge: the next block's write", Cable(CableKind::Good), 1024, CutLog(7, {wroteNone, kReadFailed}), true},
        {"after the last read", Cable(CableKind::Good), 3072, PassingLog(), true},
        {"before a rate was set", Cable(CableKind::Good), 1024, CutLog(6, {"Set baud rate to 57600 bps...\tFAILED!"}), true},
        {"before the first rate", Cable(CableKind::Good), 0, CutLog(1, {"Set baud rate to 9600 bps...\tFAILED!"}), true},
        {"not a rate under way", Cable(CableKind::Good), 700, CutLog(6, {"Set baud rate to 57600 bps...\tFAILED!"}), false},
        {"the cable's own fault came first", Cable(CableKind::Corrupt, 100), 1500, CutLog(3, {kCompareFailed}), true},
        {"a pull after the cable's own fault", Cable(CableKind::Corrupt, 100), 1500, CutLog(9, {wroteAll, kReadFailed}), false},
        {"a compare passed where the cable was gone", Cable(CableKind::Good), 700, CutLog(5, {"Compare data...\tOK!"}), false},
    };
    for (const auto& c : cases) {
        bool matched = false;
        for (const RunModel& run : ModelPull(c.scenario, c.pulledIn))
            if (LogMatches(c.seen, run.log)) {
                matched = true;
                EXPECT_EQ(run.ok, run.failBlock == 0) << c.name;
                EXPECT_EQ(run.progress, run.ok ? 3 : (run.failBlock - 1) / 2) << c.name;
            }
        EXPECT_EQ(matched, c.possible) << c.name;
    }
}

} // namespace
