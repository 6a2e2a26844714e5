// What the end-to-end test programs share: a fixture with one virtual cable and the checks
// after a run, the logs of runs that end early, and table rows printed (and so their cases
// named, with PrintToStringParamName) by their `name`.
// Included by one test file each, so it lives in that file's unnamed namespace.
#pragma once

#include "support/program_test.h"
#include "test_cable.h"

#include <ostream>
#include <string>
#include <vector>

namespace
{
const DWORD kRunBoundMs = 30000;

template <typename Row>
auto operator<<(std::ostream& out, const Row& row) -> decltype(row.name, out)
{
    return out << row.name;
}

class E2eTest : public ProgramTest
{
protected:
    // A cable on one fixed number, typed into the port box.
    bool OnCable(int com, const std::string& options = "--instant")
    {
        return m_cable.Claim(com, com, options) && m_driver.TypePort(m_cable.Name());
    }

    CCableClient::Stats Stats()
    {
        CCableClient::Stats stats;
        EXPECT_TRUE(m_cable.GetStats(stats));
        return stats;
    }

    // What the dialog shows once a run has ended. The verdict comes first: it marks the end of a
    // run that a Stop has made idle already.
    void ExpectShown(const std::vector<std::string>& log, int progress, CDialogDriver::Verdict verdict,
                     DWORD verdictMs = 3000)
    {
        EXPECT_EQ(WaitVerdict(verdict, verdictMs), verdict) << Describe(m_driver.ReadVerdictInk());
        EXPECT_EQ(m_driver.LogLines(), log) << Join(m_driver.LogLines());
        EXPECT_EQ(m_driver.ProgressPos(), progress);
    }

    void ExpectPassed() { ExpectShown(PassingLog(), 3, CDialogDriver::VerdictOk); }

    void RunPasses()
    {
        ASSERT_TRUE(m_driver.RunToEnd(kRunBoundMs)) << m_driver.LastError() << "\n" << Join(m_driver.LogLines());
        ExpectPassed();
    }

    // After any scenario: nothing left open or pending, and the port is free again.
    void ExpectSettled()
    {
        EXPECT_TRUE(m_driver.IsResponsive(3000)) << "the dialog does not answer";
        EXPECT_TRUE(m_driver.IsIdle()) << "a message box, Start disabled or Stop enabled";
        EXPECT_EQ(m_cable.Holders(), 0) << m_cable.Name() << " is still held";
    }

    CTestCable m_cable;
};
} // namespace
