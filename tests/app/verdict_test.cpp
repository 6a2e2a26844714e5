// The verdict in the real dialog under the virtual display, read back from the screen; and
// one whole run on a virtual cable seen in the dialog's own controls.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "app/selftest_dlg.h"
#include "res/resource.h"
#include "dialog_driver.h"
#include "expected_log.h"
#include "support/list_box_lines.h"
#include "support/stand_in_ports.h"
#include "support/test_app.h"
#include "test_cable.h"

namespace {

const UINT kRunBodyMessage = WM_APP + 1;

// Handles what is queued for a while, so that repaints have happened.
void Settle()
{
    WaitFor([] { DispatchQueued(); return false; }, 150);
}

// The real main dialog from its template, run modally, with a test body that runs inside it
// once it is on the screen.
class CVerdictDlg : public CSelfTestDlg
{
public:
    using CSelfTestDlg::ClearVerdict;
    using CSelfTestDlg::DrawVerdict;
    using CSelfTestDlg::OnStart;
    using CSelfTestDlg::PortToView;
    using CSelfTestDlg::ResetTest;
    using CSelfTestDlg::m_bFailed;
    using CSelfTestDlg::m_bShowVerdict;
    using CSelfTestDlg::m_lstResult;
    using CSelfTestDlg::m_progress;
    using CSelfTestDlg::m_strPort;

    // Shows the dialog, runs `body` inside its message loop, then ends it.
    void RunWith(std::function<void()> body)
    {
        m_body = std::move(body);
        DoModal();
    }

protected:
    BOOL OnInitDialog() override
    {
        CSelfTestDlg::OnInitDialog();
        // A spot of the screen of its own, away from the corner where other programs' windows open.
        ::SetWindowPos(m_hWnd, HWND_TOPMOST, 600, 300, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
        PostMessage(kRunBodyMessage);
        return TRUE;
    }

    LRESULT OnRunBody(WPARAM, LPARAM)
    {
        Settle();
        m_body();
        EndDialog(IDOK);
        return 0;
    }

    DECLARE_MESSAGE_MAP()

private:
    std::function<void()> m_body;
};

BEGIN_MESSAGE_MAP(CVerdictDlg, CSelfTestDlg)
    ON_MESSAGE(kRunBodyMessage, OnRunBody)
END_MESSAGE_MAP()

// A verdict is "seen" well above what stray pixels of a border could give.
const int kInk = 40;

// GDI objects of this process. Wine's GetGuiResources counts none, but Wine, like Windows,
// keeps the process's GDI handle table where the PEB points, at 0xF8; an entry with a type is
// live. A 32-bit process runs under WoW64, whose 32-bit PEB has no table (0x94 stays empty):
// it is in the 64-bit PEB, found through the 64-bit TEB at WowTebOffset (0xFDC in the 32-bit TEB).
struct GdiHandleEntry
{
    unsigned long long object;
    unsigned short ownerProcess;
    unsigned short lock;
    unsigned short unique;
    unsigned char type;
    unsigned char flags;
    unsigned long long userPointer;
};

struct ThreadBasicInformation
{
    LONG exitStatus;
    const char* teb;
    void* clientId[2];
    ULONG_PTR affinityMask;
    LONG priority;
    LONG basePriority;
};

const GdiHandleEntry* GdiHandleTable()
{
    typedef LONG(NTAPI * QueryThread)(HANDLE, int, PVOID, ULONG, PULONG);
    QueryThread query = reinterpret_cast<QueryThread>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQueryInformationThread")));
    ThreadBasicInformation basic = {};
    if (query == nullptr || query(::GetCurrentThread(), 0, &basic, sizeof(basic), nullptr) != 0)
        return nullptr;
    const char* teb = basic.teb;
#ifdef _WIN64
    const char* peb = *reinterpret_cast<const char* const*>(teb + 0x60);
    return *reinterpret_cast<const GdiHandleEntry* const*>(peb + 0xF8);
#else
    const LONG wowTebOffset = *reinterpret_cast<const LONG*>(teb + 0xFDC);
    if (wowTebOffset == 0)
        return nullptr;
    const unsigned long long peb = *reinterpret_cast<const unsigned long long*>(teb + wowTebOffset + 0x60);
    if (peb == 0 || peb > 0xFFFFFFFFull)
        return nullptr;
    const unsigned long long table = *reinterpret_cast<const unsigned long long*>(static_cast<size_t>(peb) + 0xF8);
    if (table > 0xFFFFFFFFull)
        return nullptr;
    return reinterpret_cast<const GdiHandleEntry*>(static_cast<size_t>(table));
#endif
}

long GdiObjectCount()
{
    const DWORD reported = ::GetGuiResources(::GetCurrentProcess(), GR_GDIOBJECTS);
    if (reported != 0)
        return (long)reported;
    const GdiHandleEntry* table = GdiHandleTable();
    if (table == nullptr)
        return -1;
    long count = 0;
    for (int i = 0; i < 0x10000; ++i)
        if (table[i].type != 0)
            ++count;
    return count;
}

class Verdict : public ::testing::Test
{
protected:
    void SetUp() override { TestApp(); }

    HWND Area() const { return m_dlg.GetDlgItem(IDC_VERDICT); }
    CDialogDriver::VerdictInk Ink() const { return CDialogDriver::ReadVerdictInk(Area()); }
    // Everything over the dialog repainted, as when a window that covered it goes away.
    void Repaint() const
    {
        ::RedrawWindow(m_dlg.m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        Settle();
    }
    void CoverAndUncover() const
    {
        RECT area;
        ::GetWindowRect(Area(), &area);
        HWND cover = ::CreateWindowExA(WS_EX_TOPMOST, "STATIC", "", WS_POPUP | WS_VISIBLE | SS_BLACKRECT, area.left - 10,
                                       area.top - 10, area.right - area.left + 20, area.bottom - area.top + 20,
                                       nullptr, nullptr, ::GetModuleHandleA(nullptr), nullptr);
        Settle();
        ::DestroyWindow(cover);
        Settle();
    }

    // No driver answers: the dialog's start-up discovery touches no port of the display's
    // other programs.
    CStandInPorts m_noDriver;
    CVerdictDlg m_dlg;
};

TEST_F(Verdict, ShowsTheVerdictWithItsShadowAndKeepsItThroughRepaints)
{
    m_dlg.RunWith([&] {
        for (const bool failed : { true, false }) {
            m_dlg.ResetTest();
            m_dlg.m_bFailed = failed;
            m_dlg.DrawVerdict();
            Settle();
            for (const char* moment : { "drawn", "repainted", "covered and uncovered" }) {
                SCOPED_TRACE(std::string(failed ? "NG, " : "OK, ") + moment);
                if (std::string(moment) == "repainted")
                    Repaint();
                else if (std::string(moment) == "covered and uncovered")
                    CoverAndUncover();
                const auto ink = Ink();
                const CDialogDriver::Ink& face = failed ? ink.red : ink.green;
                const CDialogDriver::Ink& other = failed ? ink.green : ink.red;
                EXPECT_GT(face.count, kInk);
                EXPECT_EQ(other.count, 0);
                EXPECT_GT(ink.grey.count, kInk);
                // The shadow shows where the face leaves it: 5 to the right and 5 below.
                EXPECT_EQ(ink.grey.box.right - face.box.right, 5);
                EXPECT_EQ(ink.grey.box.bottom - face.box.bottom, 5);
            }
        }
    });
}

TEST_F(Verdict, AreaStaysBlankAfterAResetThroughRepaints)
{
    m_dlg.RunWith([&] {
        const auto before = Ink();
        m_dlg.m_bFailed = true;
        m_dlg.DrawVerdict();
        Settle();
        ASSERT_GT(Ink().red.count, kInk);

        m_dlg.ResetTest();
        Settle();
        for (int pass = 0; pass < 2; ++pass) {
            const auto ink = Ink();
            EXPECT_EQ(ink.red.count, 0) << "pass " << pass;
            EXPECT_EQ(ink.green.count, 0) << "pass " << pass;
            EXPECT_EQ(ink.grey.count, before.grey.count) << "pass " << pass;
            Repaint();
        }
        EXPECT_FALSE(m_dlg.m_bShowVerdict);
    });
}

TEST_F(Verdict, RedrawsLeaveNoGdiObjectBehind)
{
    m_dlg.RunWith([&] {
        m_dlg.m_bFailed = true;
        m_dlg.DrawVerdict();
        Repaint();
        const long before = GdiObjectCount();
        if (before <= 0)
            GTEST_SKIP() << "no count of GDI objects here";
        for (int i = 0; i < 100; ++i) {
            m_dlg.DrawVerdict();
            m_dlg.ClearVerdict();
            ::RedrawWindow(Area(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
        }
        Settle();
        const long after = GdiObjectCount();
        EXPECT_LE(after, before + 2) << "before " << before << ", after 100 redraws " << after;
    });
}

// A subclassed list box control that notes the messages that shape the log.
std::vector<std::string> g_listMessages;
WNDPROC g_listProc = nullptr;

LRESULT CALLBACK NotingListProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == LB_SETTABSTOPS)
        g_listMessages.push_back("tab stops " + std::to_string(wParam) + " at " +
                                 std::to_string(wParam > 0 ? reinterpret_cast<const int*>(lParam)[0] : 0));
    else if (message == LB_ADDSTRING)
        g_listMessages.push_back("line");
    else if (message == LB_RESETCONTENT)
        g_listMessages.push_back("empty");
    return ::CallWindowProcA(g_listProc, hWnd, message, wParam, lParam);
}

TEST_F(Verdict, FirstRunOnDeviceShowsItsLogOnTheTabStopAndTheVerdict)
{
    CTestCable cable;
    ASSERT_TRUE(cable.Claim()) << cable.Error();
    m_dlg.RunWith([&] {
        HWND list = m_dlg.GetDlgItem(IDC_RESULT_LIST);
        g_listMessages.clear();
        g_listProc = (WNDPROC)::SetWindowLongPtrA(list, GWLP_WNDPROC, (LONG_PTR)NotingListProc);
        m_dlg.m_strPort = cable.Name().c_str();
        m_dlg.PortToView();

        m_dlg.OnStart();
        Settle();

        ::SetWindowLongPtrA(list, GWLP_WNDPROC, (LONG_PTR)g_listProc);
        // Emptied, and its tab stop set, before the run's first line.
        const std::vector<std::string> before(g_listMessages.begin(),
                                              std::find(g_listMessages.begin(), g_listMessages.end(), "line"));
        ASSERT_FALSE(before.empty());
        EXPECT_EQ(before.back(), "tab stops 1 at " + std::to_string(kLogTabStop));
        EXPECT_NE(std::find(before.begin(), before.end(), "empty"), before.end());
        EXPECT_EQ(ListBoxLines(m_dlg.m_lstResult), PassingLog());
        EXPECT_EQ(m_dlg.m_progress.GetPos(), 3);
        EXPECT_TRUE(::IsWindowEnabled(m_dlg.GetDlgItem(IDC_START)));
        EXPECT_FALSE(::IsWindowEnabled(m_dlg.GetDlgItem(IDC_STOP)));
        const auto ink = Ink();
        EXPECT_GT(ink.green.count, kInk);
        EXPECT_EQ(ink.red.count, 0);
    });
}

} // namespace
