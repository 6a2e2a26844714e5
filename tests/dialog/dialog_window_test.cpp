// The shipped program's window behaviour, driven from outside on virtual cables COM50-COM59:
// the typed port name, minimising and repainting, ending it, the port-event message, its icon.
#include "loopback_cable.h"
#include "support/program_test.h"
#include "support/row_name.h"

#include <ostream>
#include <string>
#include <vector>

namespace
{
const DWORD kRunBoundMs = 30000;

class DialogWindowTest : public ProgramTest
{
protected:
    // Types the port, runs to the end and checks the verdict the screen shows.
    void RunExpecting(const std::string& port, CDialogDriver::Verdict expected)
    {
        ASSERT_TRUE(m_driver.TypePort(port));
        ASSERT_TRUE(m_driver.RunToEnd(kRunBoundMs)) << m_driver.LastError() << "\n" << Join(m_driver.LogLines());
        const CDialogDriver::Verdict seen = WaitVerdict(expected);
        ASSERT_EQ(seen, expected) << Describe(m_driver.ReadVerdictInk()) << "\n" << Join(m_driver.LogLines());
    }

    // What an operator sees, in words, so that two moments compare as text.
    std::string Seen() const
    {
        return "port \"" + m_driver.PortText() + "\", progress " + std::to_string(m_driver.ProgressPos()) +
               ", Start " + (m_driver.IsEnabled(IDC_START) ? "on" : "off") + ", Stop " +
               (m_driver.IsEnabled(IDC_STOP) ? "on" : "off") + ", verdict " +
               CDialogDriver::VerdictName(m_driver.ReadVerdict()) + "\n" + Join(m_driver.LogLines());
    }

    bool WaitWindowWidth(bool wide, DWORD timeoutMs = 5000) const
    {
        return CDialogDriver::WaitFor(
            [this, wide] {
                RECT rect;
                ::GetWindowRect(m_driver.Dialog(), &rect);
                // A minimised window is at most a short caption bar.
                return wide == (rect.right - rect.left > 200);
            },
            timeoutMs);
    }
};

TEST_F(DialogWindowTest, TypedPortNotInListIsTheOneTested)
{
    // Two names the list does not offer, the second in lower case, in one dialog: each run
    // must use what the box says at that moment.
    CLoopbackCable first(50, "--instant"), second(51, "--instant");
    ASSERT_TRUE(first.IsReady()) << first.Error();
    ASSERT_TRUE(second.IsReady()) << second.Error();
    struct Case { const char* typed; CLoopbackCable* tested; CLoopbackCable* idle; };
    const Case cases[] = {{"COM50", &first, &second}, {"com51", &second, &first}};

    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        CCableClient::Stats idleBefore;
        ASSERT_TRUE(c.idle->GetStats(idleBefore));
        ASSERT_TRUE(c.tested->Request("reset"));
        RunExpecting(c.typed, CDialogDriver::VerdictOk);
        EXPECT_EQ(m_driver.LogLines(), PassingLog());
        EXPECT_EQ(m_driver.ProgressPos(), 3);
        EXPECT_EQ(m_driver.PortText(), c.typed) << "the run leaves the typed name in the box";

        CCableClient::Stats tested, idle;
        ASSERT_TRUE(c.tested->GetStats(tested));
        ASSERT_TRUE(c.idle->GetStats(idle));
        EXPECT_EQ(tested.in, 6u * 512u) << "six blocks went to the typed port";
        EXPECT_EQ(tested.settings, (std::vector<std::string>{"9600-8N1-none", "57600-8N1-none", "115200-8N1-none"}));
        EXPECT_EQ(idle.in, idleBefore.in) << "nothing went to the other cable";
    }
}

TEST_F(DialogWindowTest, VerdictIsDrawnAgainAfterRestoreAndRepaint)
{
    CLoopbackCable cable(52, "--instant");
    ASSERT_TRUE(cable.IsReady()) << cable.Error();
    struct Case { const char* fault; CDialogDriver::Verdict verdict; };
    const Case cases[] = {{"off", CDialogDriver::VerdictOk}, {"on", CDialogDriver::VerdictNg}};

    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("no echo ") + c.fault);
        ASSERT_TRUE(cable.Request(std::string("noecho ") + c.fault));
        RunExpecting(cable.Name(), c.verdict);

        ASSERT_EQ(::ShowWindow(m_driver.Dialog(), SW_MINIMIZE), TRUE);
        ASSERT_TRUE(WaitWindowWidth(false)) << "the dialog did not minimise";
        EXPECT_TRUE(::IsIconic(m_driver.Dialog()));
        EXPECT_TRUE(m_driver.IsResponsive());
        ::ShowWindow(m_driver.Dialog(), SW_RESTORE);
        ASSERT_TRUE(WaitWindowWidth(true)) << "the dialog did not come back";
        EXPECT_EQ(WaitVerdict(c.verdict), c.verdict) << "after restore: " << Describe(m_driver.ReadVerdictInk());

        // The dialog erases its whole client area, the verdict's too; only a redraw brings it back.
        ::RedrawWindow(m_driver.Dialog(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        EXPECT_TRUE(m_driver.IsResponsive());
        EXPECT_EQ(WaitVerdict(c.verdict), c.verdict) << "after a repaint: " << Describe(m_driver.ReadVerdictInk());
    }
}

// The program's icon 128 drawn the way a caption draws a window's small icon: each pixel's
// colour where the icon is opaque, CLR_INVALID where it lets the background through.
std::vector<COLORREF> RenderProgramIcon(int size)
{
    HMODULE module = ::LoadLibraryExA(CDialogDriver::WindowsPath(SELFTEST_EXE).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HICON icon = module ? ::LoadIconA(module, MAKEINTRESOURCEA(128)) : nullptr;
    std::vector<COLORREF> onBlack, onWhite, opaque;
    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    HBITMAP bitmap = ::CreateCompatibleBitmap(screen, size, size);
    HGDIOBJ previous = ::SelectObject(memory, bitmap);
    const RECT all = {0, 0, size, size};
    for (std::vector<COLORREF>* pixels : {&onBlack, &onWhite}) {
        ::FillRect(memory, &all, (HBRUSH)::GetStockObject(pixels == &onBlack ? BLACK_BRUSH : WHITE_BRUSH));
        if (icon != nullptr && ::DrawIconEx(memory, 0, 0, icon, size, size, 0, nullptr, DI_NORMAL))
            CDialogDriver::ReadPixels(memory, all, *pixels);
    }
    ::SelectObject(memory, previous);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
    if (module != nullptr)
        ::FreeLibrary(module);
    for (size_t i = 0; i < onBlack.size() && i < onWhite.size(); ++i)
        opaque.push_back(onBlack[i] == onWhite[i] ? onBlack[i] : CLR_INVALID);
    return opaque;
}

TEST_F(DialogWindowTest, CaptionShowsProgramIcon)
{
    // The visible trace of the dialog's small icon: on this platform a minimised window shows
    // nothing on the screen, so the caption of the restored dialog is where the icon is seen.
    const int size = ::GetSystemMetrics(SM_CXSMICON);
    const std::vector<COLORREF> icon = RenderProgramIcon(size);
    ASSERT_EQ(icon.size(), (size_t)size * size);
    int opaqueCount = 0;
    for (COLORREF c : icon)
        opaqueCount += c != CLR_INVALID;
    ASSERT_GT(opaqueCount, size * size / 2);

    RECT window;
    ::GetWindowRect(m_driver.Dialog(), &window);
    POINT clientOrigin = {0, 0};
    ::ClientToScreen(m_driver.Dialog(), &clientOrigin);
    const RECT caption = {window.left, window.top, window.right, clientOrigin.y};
    const int width = caption.right - caption.left, height = caption.bottom - caption.top;
    ASSERT_GE(height, size);

    int best = 0;
    POINT bestAt = {0, 0};
    CDialogDriver::WaitFor(
        [&] {
            std::vector<COLORREF> pixels;
            if (!CDialogDriver::ReadScreen(caption, pixels))
                return false;
            for (int y = 0; y + size <= height; ++y)
                for (int x = 0; x + size <= width / 4; ++x) { // the icon sits at the caption's left end
                    int matched = 0;
                    for (int i = 0; i < size * size; ++i)
                        matched += icon[i] != CLR_INVALID &&
                                   pixels[(size_t)(y + i / size) * width + x + i % size] == icon[i];
                    if (matched > best) {
                        best = matched;
                        bestAt = {x, y};
                    }
                }
            return best == opaqueCount;
        },
        3000, 100);
    EXPECT_GE(best * 100, opaqueCount * 95) << best << " of " << opaqueCount
                                            << " opaque icon pixels found in the caption, best at " << bestAt.x << ","
                                            << bestAt.y;
}

// How the program is told to end, and whether a run is going on at that moment.
struct EndCase
{
    const char* name;
    bool escape; // Esc; otherwise the caption's close box
    bool duringRun;
    int com;
};

// Also what CTest's test names show of the parameter.
void PrintTo(const EndCase& c, std::ostream* out)
{
    *out << c.name;
}

class DialogEndTest : public DialogWindowTest, public ::testing::WithParamInterface<EndCase>
{
};

TEST_P(DialogEndTest, EndsProcessAfterRunCompletes)
{
    const EndCase& c = GetParam();
    CLoopbackCable cable(c.com); // baud-true: a run lasts about 2.7 s
    ASSERT_TRUE(cable.IsReady()) << cable.Error();
    if (c.duringRun) {
        ASSERT_TRUE(m_driver.TypePort(cable.Name()));
        ASSERT_TRUE(m_driver.ClickStart());
        // Well inside the run: the 9600 rate is set and its first block is on the wire.
        ASSERT_TRUE(CDialogDriver::WaitFor([this] { return m_driver.LogCount() >= 2; }, 10000))
            << Join(m_driver.LogLines());
    }
    ASSERT_TRUE(c.escape ? m_driver.PressEscape() : m_driver.ClickCloseBox());
    if (c.duringRun) {
        EXPECT_FALSE(m_driver.WaitExit(300)) << "the process ended in the middle of the run";
    }
    ASSERT_TRUE(m_driver.WaitExit(20000)) << "the process did not end";
    EXPECT_EQ(m_driver.FindMessageBox(), nullptr);

    CCableClient::Stats stats;
    ASSERT_TRUE(cable.GetStats(stats));
    if (c.duringRun) {
        // The run went on to its end, all three rates, before the dialog closed.
        EXPECT_EQ(stats.in, 6u * 512u);
        EXPECT_EQ(stats.out, 6u * 512u);
        EXPECT_EQ(stats.settings.size(), 3u);
    } else {
        EXPECT_EQ(stats.in, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Ways, DialogEndTest,
                         ::testing::Values(EndCase{"EscapeIdle", true, false, 53}, EndCase{"CloseBoxIdle", false, false, 54},
                                           EndCase{"EscapeDuringRun", true, true, 56},
                                           EndCase{"CloseBoxDuringRun", false, true, 57}),
                         RowName());

TEST_F(DialogWindowTest, PortEventMessageChangesNothing)
{
    const UINT portEvent = ::RegisterWindowMessageA("CSerialWnd_DefaultComMsg");
    ASSERT_NE(portEvent, 0u);
    struct Notice { const char* what; WPARAM wParam; LPARAM lParam; };
    const Notice notices[] = {
        {"received characters", EV_RXCHAR, 0},
        {"break and error with a framing error", MAKEWPARAM(EV_BREAK | EV_ERR, CE_FRAME), 0},
        {"every bit", MAKEWPARAM(0xFFFF, 0xFFFF), 0},
        {"another lParam", EV_RXCHAR, 0x1234},
    };
    CLoopbackCable cable(55, "--instant");
    ASSERT_TRUE(cable.IsReady()) << cable.Error();
    ASSERT_TRUE(m_driver.TypePort(cable.Name()));

    // Ready, and again with a verdict on show.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "ready" : "verdict on show");
        if (round == 1)
            RunExpecting(cable.Name(), CDialogDriver::VerdictOk);
        const std::string before = Seen();
        for (const auto& n : notices) {
            SCOPED_TRACE(n.what);
            DWORD_PTR result = 1;
            ASSERT_TRUE(::SendMessageTimeoutA(m_driver.Dialog(), portEvent, n.wParam, n.lParam, SMTO_NORMAL, 5000, &result));
            EXPECT_EQ(result, 0u);
        }
        EXPECT_EQ(Seen(), before);
    }

    // During a run, posted the way the port's listener posts them: the run goes on unchanged.
    ASSERT_TRUE(m_driver.ClickStart());
    ASSERT_TRUE(m_driver.WaitRunStarted(5000));
    const DWORD start = ::GetTickCount();
    while (!m_driver.IsIdle() && ::GetTickCount() - start < kRunBoundMs) {
        for (const auto& n : notices)
            ::PostMessageA(m_driver.Dialog(), portEvent, n.wParam, n.lParam);
        ::Sleep(20);
    }
    ASSERT_TRUE(m_driver.WaitIdle(kRunBoundMs));
    EXPECT_EQ(m_driver.LogLines(), PassingLog());
    EXPECT_EQ(m_driver.ProgressPos(), 3);
    EXPECT_EQ(WaitVerdict(CDialogDriver::VerdictOk), CDialogDriver::VerdictOk);
}

} // namespace
