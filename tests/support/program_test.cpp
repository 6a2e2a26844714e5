#include "program_test.h"

#include <sstream>

CDialogDriver::Verdict ProgramTest::WaitVerdict(CDialogDriver::Verdict expected, DWORD timeoutMs) const
{
    // The screen shows a window's drawing only once the window system has flushed it.
    CDialogDriver::Verdict seen = CDialogDriver::VerdictUnclear;
    CDialogDriver::WaitFor([&] { return (seen = m_driver.ReadVerdict()) == expected; }, timeoutMs, 50);
    return seen;
}

std::string ProgramTest::Describe(const CDialogDriver::VerdictInk& ink)
{
    std::ostringstream text;
    text << "green " << ink.green.count << ", red " << ink.red.count << ", grey " << ink.grey.count << ", other "
         << ink.other << " of " << ink.total << " pixels ("
         << CDialogDriver::VerdictName(CDialogDriver::Classify(ink)) << ")";
    return text.str();
}

std::string ProgramTest::Join(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += "  | " + line + "\n";
    return text.empty() ? "  (empty)\n" : text;
}
