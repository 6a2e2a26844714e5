// The shipped program against a hostile world, from outside: cable faults through the virtual
// cable and bad port names typed into the box (virtual cables COM60-COM71). Every scenario
// checks the log, the progress, the verdict on the screen, the buttons, and that the program
// still answers and has let go of the port.
#include "e2e_kit.h"

#include <fstream>
#include <iterator>

namespace
{
std::string Offsets(int first, int last)
{
    std::string text;
    for (int offset = first; offset <= last; ++offset)
        text += (text.empty() ? "" : ",") + std::to_string(offset);
    return text;
}

struct CableFault
{
    const char* name;
    int com;
    std::string request; // to the cable before the run
    std::vector<std::string> log;
    int progress;
    DWORD minimumMs; // the run cannot have ended sooner
    // On the driver cable's UART a write is done when its last byte has left, so a line that
    // stops mid-write fails the write itself; empty: the same log as on the pty cable.
    std::vector<std::string> uartLog = {};
};

class CableFaultTest : public E2eTest, public ::testing::WithParamInterface<CableFault>
{
};

TEST_P(CableFaultTest, EndsWithTheRightLogAndVerdict)
{
    const CableFault& fault = GetParam();
    ASSERT_TRUE(OnCable(fault.com)) << m_cable.Error();
    ASSERT_TRUE(m_cable.Request(fault.request)) << fault.request;

    const DWORD start = ::GetTickCount();
    ASSERT_TRUE(m_driver.RunToEnd(kRunBoundMs)) << m_driver.LastError() << "\n" << Join(m_driver.LogLines());
    const DWORD elapsed = ::GetTickCount() - start;
    const bool uart = m_cable.Kind() == CCableClient::Driver && !fault.uartLog.empty();
    ExpectShown(uart ? fault.uartLog : fault.log, fault.progress, CDialogDriver::VerdictNg);
    EXPECT_GE(elapsed, fault.minimumMs);
    if (Stats().hungup) {
        ASSERT_TRUE(m_cable.Request("restore"));
    }
    ExpectSettled();
}

// Offsets name blocks as in kWriteLine: a fault in block b leaves the log up to its write line.
const CableFault kCableFaults[] = {
    {"NoEcho", 60, "noecho on", CutLog(3, {kReadFailed}), 0, 2300},
    {"CorruptAt9600", 61, "corrupt 100", CutLog(3, {kCompareFailed}), 0, 0},
    {"CorruptAt57600FirstCheck", 62, "corrupt 1124", CutLog(8, {kCompareFailed}), 1, 0},
    {"CorruptAt115200SecondCheck", 63, "corrupt 3000", CutLog(15, {kCompareFailed}), 2, 0},
    {"EchoOnly300Of512", 64, "echo-only 300", CutLog(3, {kReadFailed}), 0, 2300},
    {"EchoLaterThan2000ms", 65, "delay 2300", CutLog(3, {kReadFailed}), 0, 2300},
    {"HangUpAt9600", 66, "hangup-after 256", CutLog(3, {kReadFailed}), 0, 0, CutLog(2, {kWriteFailed, kReadFailed})},
    {"HangUpAt57600", 67, "hangup-after 1280", CutLog(8, {kReadFailed}), 1, 0, CutLog(7, {kWriteFailed, kReadFailed})},
    {"HangUpAt115200", 68, "hangup-after 2304", CutLog(13, {kReadFailed}), 2, 0,
     CutLog(12, {kWriteFailed, kReadFailed})},
    // A far end at another rate garbles every byte of that rate's first block.
    {"GarbledByRateMismatchAt57600", 69, "corrupt " + Offsets(1024, 1535), CutLog(8, {kCompareFailed}), 1, 0},
};

INSTANTIATE_TEST_SUITE_P(Cable, CableFaultTest, ::testing::ValuesIn(kCableFaults),
                         ::testing::PrintToStringParamName());

TEST_F(E2eTest, CableThatIgnoresLineSettingsStillPasses)
{
    // A loopback plug echoes at whatever rate the cable's chip runs, so a chip that ignored
    // the rates passes: the test can only show that the program asked for them.
    ASSERT_TRUE(OnCable(70)) << m_cable.Error();
    ASSERT_NO_FATAL_FAILURE(RunPasses());
    EXPECT_EQ(Stats().settings, (std::vector<std::string>{"9600-8N1-none", "57600-8N1-none", "115200-8N1-none"}));
    ExpectSettled();
}

struct BadName
{
    const char* name;
    std::string typed; // "%FILE%" stands for a scratch file's path
};

class BadPortNameTest : public E2eTest, public ::testing::WithParamInterface<BadName>
{
};

TEST_P(BadPortNameTest, RefusedWithMessageBoxAndPortNotStuck)
{
    const BadName& bad = GetParam();
    ASSERT_TRUE(m_cable.Claim(71, 71)) << m_cable.Error();

    // A file that a careless open would write test data into.
    char folder[MAX_PATH] = {}, file[MAX_PATH] = {};
    ::GetTempPathA(sizeof(folder), folder);
    ASSERT_NE(::GetTempFileNameA(folder, "e2e", 0, file), 0u);
    std::string content(1000, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = (char)(i * 7 + 3);
    ASSERT_TRUE(std::ofstream(file, std::ios::binary) << content);

    ASSERT_TRUE(m_driver.TypePort(bad.typed == "%FILE%" ? std::string(file) : bad.typed));
    ASSERT_TRUE(m_driver.ClickStart());
    HWND box = nullptr;
    ASSERT_TRUE(m_driver.WaitMessageBox(10000, &box)) << "no message box; log:\n" << Join(m_driver.LogLines());
    EXPECT_EQ(CDialogDriver::MessageBoxText(box), "Unable to open port");
    EXPECT_EQ(CDialogDriver::WindowText(box), "selftest");
    // While the box is open the run has not ended.
    EXPECT_FALSE(m_driver.IsEnabled(IDC_START));
    ASSERT_TRUE(m_driver.CloseMessageBox(box));
    ASSERT_TRUE(m_driver.WaitIdle(5000));
    ExpectShown({}, 0, CDialogDriver::VerdictBlank);

    std::ifstream in(file, std::ios::binary);
    const std::string after{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    in.close();
    ::DeleteFileA(file);
    EXPECT_EQ(after, content) << "the scratch file changed";

    // Nothing of the failed open is left behind: the next run on a real cable passes.
    ASSERT_TRUE(m_driver.TypePort(m_cable.Name()));
    ASSERT_NO_FATAL_FAILURE(RunPasses());
    ExpectSettled();
}

INSTANTIATE_TEST_SUITE_P(
    Names, BadPortNameTest,
    ::testing::Values(BadName{"Empty", ""}, BadName{"Com0", "COM0"}, BadName{"Com99WithoutCable", "COM99"},
                      BadName{"NulDevice", "NUL"}, BadName{"ExistingFile", "%FILE%"},
                      BadName{"ThreeHundredCharacters", std::string(300, 'C')},
                      BadName{"NonAscii", "\xB6\xCB\xBF\xDA"}, // 端口 in code page 936
                      BadName{"TrailingBlank", "COM71 "}),
    ::testing::PrintToStringParamName());

} // namespace
