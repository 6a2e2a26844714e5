// Test fixture for the shipped program driven from outside: each test launches its own
// selftest.exe (SELFTEST_EXE, a compile definition of the test program) and ends it again.
#pragma once

#include "dialog_driver.h"
#include "expected_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class ProgramTest : public ::testing::Test
{
public:
    // For failure messages: the verdict area's pixel counts, and log lines one to a line.
    static std::string Describe(const CDialogDriver::VerdictInk& ink)
    {
        return "green " + std::to_string(ink.green.count) + ", red " + std::to_string(ink.red.count) + ", grey " +
               std::to_string(ink.grey.count) + ", other " + std::to_string(ink.other) + " of " +
               std::to_string(ink.total) + " pixels (" + CDialogDriver::VerdictName(CDialogDriver::Classify(ink)) + ")";
    }

    static std::string Join(const std::vector<std::string>& lines)
    {
        std::string text;
        for (const std::string& line : lines)
            text += "  | " + line + "\n";
        return text.empty() ? "  (empty)\n" : text;
    }

protected:
    // Where the dialog goes once launched: clear of the top-left corner that other programs on
    // the shared display use.
    static const int kLeft = 640;
    static const int kTop = 160;

    void SetUp() override
    {
        ASSERT_TRUE(m_driver.Launch(SELFTEST_EXE)) << m_driver.LastError();
        ::GetWindowRect(m_driver.Dialog(), &m_launchRect);
        ASSERT_TRUE(m_driver.PlaceOnTop(kLeft, kTop));
    }

    // Polls the verdict area until it shows the expected verdict, since the screen shows a
    // window's drawing only once the window system has flushed it; returns what it shows last.
    CDialogDriver::Verdict WaitVerdict(CDialogDriver::Verdict expected, DWORD timeoutMs = 3000) const
    {
        CDialogDriver::Verdict seen = CDialogDriver::VerdictUnclear;
        CDialogDriver::WaitFor([&] { return (seen = m_driver.ReadVerdict()) == expected; }, timeoutMs, 50);
        return seen;
    }

    CDialogDriver m_driver;
    RECT m_launchRect = {0, 0, 0, 0}; // the dialog's window rectangle before it was moved
};
