// The shipped program against a hostile world, from outside: cable faults through the virtual
// cable and bad port names typed into the box (virtual cables COM60-COM69). Every scenario
// checks the log, the progress, the verdict on the screen, the buttons, and that the program
// still answers and has let go of the port.
#include "support/loopback_cable.h"
#include "support/program_test.h"

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

namespace
{
const DWORD kRunBoundMs = 30000;
const char kReadFailed[] = "Connect port read [0/512] \tFAILED!";
const char kCompareFailed[] = "Compare data...\tFAILED!";

// The first `count` lines of a passing run, then the line that tells why the run stopped.
std::vector<std::string> FailedLog(size_t count, const std::string& why)
{
    std::vector<std::string> lines = PassingLog();
    lines.resize(count);
    lines.push_back(why);
    return lines;
}

std::string Offsets(int first, int last)
{
    std::string text;
    for (int offset = first; offset <= last; ++offset)
        text += (text.empty() ? "" : ",") + std::to_string(offset);
    return text;
}

class E2eTest : public ProgramTest
{
protected:
    // After any scenario: nothing left open or pending, and the port is free again.
    void ExpectSettled(CLoopbackCable& cable)
    {
        EXPECT_TRUE(m_driver.IsResponsive(3000)) << "the dialog does not answer";
        EXPECT_EQ(m_driver.FindMessageBox(), nullptr);
        EXPECT_TRUE(m_driver.IsEnabled(IDC_START));
        EXPECT_FALSE(m_driver.IsEnabled(IDC_STOP));
        EXPECT_EQ(cable.Holders(), 0) << cable.Name() << " is still held";
    }
};

struct CableFault
{
    const char* name;
    int com;
    const char* request; // cable request before the run, empty for none
    std::vector<std::string> log;
    int progress;
    CDialogDriver::Verdict verdict;
    DWORD minimumMs; // the run cannot have ended sooner
};

void PrintTo(const CableFault& fault, std::ostream* out)
{
    *out << fault.name;
}

class CableFaultTest : public E2eTest, public ::testing::WithParamInterface<CableFault>
{
};

TEST_P(CableFaultTest, EndsWithTheRightLogAndVerdict)
{
    const CableFault& fault = GetParam();
    CLoopbackCable cable(fault.com, "--instant");
    ASSERT_TRUE(cable.IsReady()) << cable.Error();
    if (*fault.request) {
        ASSERT_TRUE(cable.Request(fault.request)) << fault.request;
    }
    ASSERT_TRUE(m_driver.TypePort(cable.Name()));

    const DWORD start = ::GetTickCount();
    ASSERT_TRUE(m_driver.RunToEnd(kRunBoundMs)) << m_driver.LastError() << "\n" << Join(m_driver.LogLines());
    const DWORD elapsed = ::GetTickCount() - start;
    EXPECT_EQ(m_driver.LogLines(), fault.log) << Join(m_driver.LogLines());
    EXPECT_EQ(m_driver.ProgressPos(), fault.progress);
    EXPECT_EQ(WaitVerdict(fault.verdict), fault.verdict) << Describe(m_driver.ReadVerdictInk());
    EXPECT_GE(elapsed, fault.minimumMs);
    CCableClient::Stats stats;
    ASSERT_TRUE(cable.GetStats(stats));
    if (stats.hungup) {
        ASSERT_TRUE(cable.Request("restore"));
    }
    ExpectSettled(cable);
}

// Block b (1 to 6) starts at byte 512 * (b - 1) of what the cable receives; the log of a passing
// run has its write line for block b at index 2, 4, 7, 9, 12, 14.
const CableFault kCableFaults[] = {
    {"NoEcho", 60, "noecho on", FailedLog(3, kReadFailed), 0, CDialogDriver::VerdictNg, 2300},
    {"CorruptAt9600", 61, "corrupt 100", FailedLog(3, kCompareFailed), 0, CDialogDriver::VerdictNg, 0},
    {"CorruptAt57600FirstCheck", 62, "corrupt 1124", FailedLog(8, kCompareFailed), 1, CDialogDriver::VerdictNg, 0},
    {"CorruptAt115200SecondCheck", 63, "corrupt 3000", FailedLog(15, kCompareFailed), 2, CDialogDriver::VerdictNg, 0},
    {"EchoOnly300Of512", 64, "echo-only 300", FailedLog(3, kReadFailed), 0, CDialogDriver::VerdictNg, 2300},
    {"EchoLaterThan2000ms", 65, "delay 2300", FailedLog(3, kReadFailed), 0, CDialogDriver::VerdictNg, 2300},
    {"HangUpAt9600", 66, "hangup-after 256", FailedLog(3, kReadFailed), 0, CDialogDriver::VerdictNg, 0},
    {"HangUpAt57600", 67, "hangup-after 1280", FailedLog(8, kReadFailed), 1, CDialogDriver::VerdictNg, 0},
    {"HangUpAt115200", 68, "hangup-after 2304", FailedLog(13, kReadFailed), 2, CDialogDriver::VerdictNg, 0},
    // A far end at another rate garbles every byte of that rate's first block.
    {"GarbledByRateMismatchAt57600", 69, nullptr, FailedLog(8, kCompareFailed), 1, CDialogDriver::VerdictNg, 0},
};

std::vector<CableFault> CableFaults()
{
    std::vector<CableFault> faults(std::begin(kCableFaults), std::end(kCableFaults));
    static const std::string garble = "corrupt " + Offsets(1024, 1535);
    for (CableFault& fault : faults)
        if (fault.request == nullptr)
            fault.request = garble.c_str();
    return faults;
}

INSTANTIATE_TEST_SUITE_P(Cable, CableFaultTest, ::testing::ValuesIn(CableFaults()),
                         [](const ::testing::TestParamInfo<CableFault>& info) { return std::string(info.param.name); });

TEST_F(E2eTest, CableThatIgnoresLineSettingsStillPasses)
{
    // A loopback plug echoes at whatever rate the cable's chip runs, so a chip that ignored
    // the rates passes: the test can only show that the program asked for them.
    CLoopbackCable cable(70, "--instant");
    ASSERT_TRUE(cable.IsReady()) << cable.Error();
    ASSERT_TRUE(m_driver.TypePort(cable.Name()));
    ASSERT_TRUE(m_driver.RunToEnd(kRunBoundMs)) << m_driver.LastError();
    EXPECT_EQ(m_driver.LogLines(), PassingLog());
    EXPECT_EQ(WaitVerdict(CDialogDriver::VerdictOk), CDialogDriver::VerdictOk);
    CCableClient::Stats stats;
    ASSERT_TRUE(cable.GetStats(stats));
    EXPECT_EQ(stats.settings, (std::vector<std::string>{"9600-8N1-none", "57600-8N1-none", "115200-8N1-none"}));
    ExpectSettled(cable);
}

struct BadName
{
    const char* name;
    std::string typed; // "%FILE%" stands for a scratch file's path
};

void PrintTo(const BadName& bad, std::ostream* out)
{
    *out << bad.name;
}

class BadPortNameTest : public E2eTest, public ::testing::WithParamInterface<BadName>
{
};

TEST_P(BadPortNameTest, RefusedWithMessageBoxAndPortNotStuck)
{
    const BadName& bad = GetParam();
    CLoopbackCable cable(71, "--instant");
    ASSERT_TRUE(cable.IsReady()) << cable.Error();

    // A file that a careless open would write test data into.
    char folder[MAX_PATH] = {}, file[MAX_PATH] = {};
    ::GetTempPathA(sizeof(folder), folder);
    ASSERT_NE(::GetTempFileNameA(folder, "e2e", 0, file), 0u);
    std::vector<unsigned char> content(1000);
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = (unsigned char)(i * 7 + 3);
    FILE* out = std::fopen(file, "wb");
    ASSERT_NE(out, nullptr);
    std::fwrite(content.data(), 1, content.size(), out);
    std::fclose(out);

    const std::string typed = bad.typed == "%FILE%" ? std::string(file) : bad.typed;
    ASSERT_TRUE(m_driver.TypePort(typed));
    ASSERT_TRUE(m_driver.ClickStart());
    HWND box = nullptr;
    ASSERT_TRUE(m_driver.WaitMessageBox(10000, &box)) << "no message box; log:\n" << Join(m_driver.LogLines());
    EXPECT_EQ(CDialogDriver::MessageBoxText(box), "Unable to open port");
    EXPECT_EQ(CDialogDriver::WindowText(box), "selftest");
    // While the box is open the run has not ended.
    EXPECT_FALSE(m_driver.IsEnabled(IDC_START));
    ASSERT_TRUE(m_driver.CloseMessageBox(box));
    ASSERT_TRUE(m_driver.WaitIdle(5000));
    EXPECT_EQ(m_driver.LogLines(), std::vector<std::string>());
    EXPECT_EQ(m_driver.ProgressPos(), 0);
    EXPECT_EQ(WaitVerdict(CDialogDriver::VerdictBlank), CDialogDriver::VerdictBlank)
        << Describe(m_driver.ReadVerdictInk());

    FILE* in = std::fopen(file, "rb");
    ASSERT_NE(in, nullptr);
    std::vector<unsigned char> after(2000);
    after.resize(std::fread(after.data(), 1, after.size(), in));
    std::fclose(in);
    ::DeleteFileA(file);
    EXPECT_EQ(after, content) << "the scratch file changed";

    // Nothing of the failed open is left behind: the next run on a real cable passes.
    ASSERT_TRUE(m_driver.TypePort(cable.Name()));
    ASSERT_TRUE(m_driver.RunToEnd(kRunBoundMs)) << m_driver.LastError();
    EXPECT_EQ(m_driver.LogLines(), PassingLog());
    EXPECT_EQ(WaitVerdict(CDialogDriver::VerdictOk), CDialogDriver::VerdictOk);
    ExpectSettled(cable);
}

INSTANTIATE_TEST_SUITE_P(
    Names, BadPortNameTest,
    ::testing::Values(BadName{"Empty", ""}, BadName{"Com0", "COM0"}, BadName{"Com99WithoutCable", "COM99"},
                      BadName{"NulDevice", "NUL"}, BadName{"ExistingFile", "%FILE%"},
                      BadName{"ThreeHundredCharacters", std::string(300, 'C')},
                      BadName{"NonAscii", "\xB6\xCB\xBF\xDA"}, // 端口 in code page 936
                      BadName{"TrailingBlank", "COM71 "}),
    [](const ::testing::TestParamInfo<BadName>& info) { return std::string(info.param.name); });

} // namespace
