// The main dialog's icons, in this process: the window system does not carry icon handles
// between processes (WM_GETICON and WM_QUERYDRAGICON come back empty there), so the drag
// icon is asked for from inside, with the dialog running modally on the program's template.
#include <windows.h>

#include <gtest/gtest.h>

#include "app/selftest_dlg.h"

namespace
{
struct IconProbe
{
    const CSelfTestDlg* owner = nullptr;
    HWND dialog = nullptr; // once it showed
    int ticks = 0;
    bool done = false;
    HICON drag = nullptr, big = nullptr, small = nullptr, dragMinimised = nullptr;
    bool minimised = false;
    SIZE dragSize = {0, 0};
};

IconProbe g_probe;

// Runs inside the dialog's modal loop.
void CALLBACK Probe(HWND, UINT, UINT_PTR timer, DWORD)
{
    HWND dialog = g_probe.owner->m_hWnd;
    const bool shown = dialog != nullptr && ::IsWindowVisible(dialog);
    // A bound of its own: a dialog that never shows must not hang the test.
    if (g_probe.done || (!shown && ++g_probe.ticks <= 100))
        return;
    g_probe.done = true;
    ::KillTimer(nullptr, timer);
    if (!shown) {
        ::PostQuitMessage(1);
        return;
    }
    g_probe.dialog = dialog;
    g_probe.drag = (HICON)::SendMessageA(dialog, WM_QUERYDRAGICON, 0, 0);
    g_probe.big = (HICON)::SendMessageA(dialog, WM_GETICON, ICON_BIG, 0);
    g_probe.small = (HICON)::SendMessageA(dialog, WM_GETICON, ICON_SMALL, 0);
    ICONINFO info = {};
    if (g_probe.drag != nullptr && ::GetIconInfo(g_probe.drag, &info)) {
        BITMAP bitmap = {};
        ::GetObjectA(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof(bitmap), &bitmap);
        g_probe.dragSize = {bitmap.bmWidth, info.hbmColor ? bitmap.bmHeight : bitmap.bmHeight / 2};
        if (info.hbmColor)
            ::DeleteObject(info.hbmColor);
        ::DeleteObject(info.hbmMask);
    }
    ::ShowWindow(dialog, SW_MINIMIZE);
    g_probe.minimised = ::IsIconic(dialog) != FALSE;
    g_probe.dragMinimised = (HICON)::SendMessageA(dialog, WM_QUERYDRAGICON, 0, 0);
    ::PostMessageA(dialog, WM_CLOSE, 0, 0);
}

TEST(DialogIconTest, DragIconIsTheProgramIconThatTheDialogShows)
{
    // The shared icon that the program's resources give; the dialog loads the same one.
    const HICON expected = ::LoadIconA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(128));
    ASSERT_NE(expected, nullptr) << "icon 128 is missing from the linked resources";

    CSelfTestDlg dialog;
    g_probe = IconProbe();
    g_probe.owner = &dialog;
    const UINT_PTR timer = ::SetTimer(nullptr, 0, 100, Probe);
    ASSERT_NE(timer, 0u);
    dialog.DoModal();
    ::KillTimer(nullptr, timer);

    ASSERT_NE(g_probe.dialog, nullptr) << "the dialog never showed";
    EXPECT_EQ(g_probe.drag, expected);
    EXPECT_EQ(g_probe.big, expected);
    EXPECT_EQ(g_probe.small, expected);
    EXPECT_EQ(g_probe.dragSize.cx, 32);
    EXPECT_EQ(g_probe.dragSize.cy, 32);
    EXPECT_TRUE(g_probe.minimised);
    EXPECT_EQ(g_probe.dragMinimised, expected) << "while minimised";
}

} // namespace
