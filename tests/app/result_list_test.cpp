// The result log's line split, seen in a real list box.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/result_list.h"
#include "dialog_driver.h"
#include "support/list_box_lines.h"
#include "support/test_app.h"

namespace {

class ResultListTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_list.Attach(CreateTestLog());
        ASSERT_NE(m_list.m_hWnd, nullptr);
    }
    void TearDown() override { ::DestroyWindow(m_list.Detach()); }

    CResultList m_list;
};

struct SplitCase { const char* name; const char* text; const char* shown; };

const SplitCase kSplitCases[] = {
    { "rate line", "Set baud rate to 9600 bps...OK!", "Set baud rate to 9600 bps...\tOK!" },
    { "blank stays left of the tab", "Write 512 bytes... [512/512] OK!", "Write 512 bytes... [512/512] \tOK!" },
    { "failure word", "Connect port read [0/512] FAILED!", "Connect port read [0/512] \tFAILED!" },
    { "OK! wins over an earlier FAILED!", "a FAILED! b OK! c", "a FAILED! b \tOK!" },
    { "OK! wins over a later FAILED!", "a OK! b FAILED!", "a \tOK!" },
    { "first of two OK!", "x OK! y OK!", "x \tOK!" },
    { "first of two FAILED!", "x FAILED! y FAILED!", "x \tFAILED!" },
    { "OK! at the start", "OK! and more", "\tOK!" },
    { "neither word", "User cancelled!", "User cancelled!" },
    { "own tabs kept", "one\ttwo\tthree", "one\ttwo\tthree" },
    { "words without their mark", "OK FAILED", "OK FAILED" },
    { "empty", "", "" },
    // Code page 936: 0x81 is a lead byte, and the 'O' or 'F' after it is its trail byte.
    { "trail byte O is not a match", "\x81OK!", "\x81OK!" },
    { "match right after a double-byte character", "\x81OOK!", "\x81O\tOK!" },
    { "trail byte F is not a match", "\x81" "FAILED!", "\x81" "FAILED!" },
    { "Chinese text before the word", "\xB2\xE2\xCA\xD4OK!", "\xB2\xE2\xCA\xD4\tOK!" },
};

TEST_F(ResultListTest, SplitsAtTheFirstStatusWordOnCharacterBoundaries)
{
    ASSERT_EQ(::GetACP(), 936u) << "the double-byte cases need the rig's code page";
    for (const SplitCase& c : kSplitCases)
        m_list.AddLine(c.text);
    const std::vector<std::string> lines = ListBoxLines(m_list);
    ASSERT_EQ(lines.size(), sizeof(kSplitCases) / sizeof(kSplitCases[0]));
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i], kSplitCases[i].shown) << kSplitCases[i].name;
}

TEST_F(ResultListTest, KeepsOrderAndSelectsTheNewestLine)
{
    const char* const lines[] = { "zeta OK!", "alpha", "mid FAILED!" };
    for (int i = 0; i < 3; ++i) {
        m_list.AddLine(lines[i]);
        EXPECT_EQ(m_list.GetCurSel(), i);
    }
    EXPECT_EQ(ListBoxLines(m_list), (std::vector<std::string>{ "zeta \tOK!", "alpha", "mid \tFAILED!" }));
}

// Pixels of the list, read through its window's device context (with `window`, the whole
// window's, scroll bar included), so that a drawing shows at once, before the window system
// has put it on the screen.
std::vector<COLORREF> ListPixels(HWND list, const RECT& rect, bool window = false)
{
    HDC dc = window ? ::GetWindowDC(list) : ::GetDC(list);
    std::vector<COLORREF> pixels;
    CDialogDriver::ReadPixels(dc, rect, pixels);
    ::ReleaseDC(list, dc);
    return pixels;
}

// Under Wine a list that draws within the call costs the run milliseconds a line outside its
// pauses; the new line's row must look the same until a message pass has run.
TEST_F(ResultListTest, TheNewLineIsDrawnAtTheNextMessagePassNotWithinAddLine)
{
    ::ShowWindow(m_list.m_hWnd, SW_SHOWNOACTIVATE);
    RECT client;
    ::GetClientRect(m_list.m_hWnd, &client);
    const int height = (int)m_list.SendMessage(LB_GETITEMHEIGHT);
    ASSERT_GT(height, 0);
    const int rows = client.bottom / height;
    RECT window;
    ::GetWindowRect(m_list.m_hWnd, &window);
    const RECT bar = { client.right, 0, window.right - window.left, window.bottom - window.top };
    for (int line = 0; line < 2 * rows; ++line) {
        DispatchQueued();
        // Where the new line shows: its own row, or the bottom one once the list scrolls.
        const int shownAt = std::min(line, rows - 1);
        const RECT row = { 0, shownAt * height, client.right, (shownAt + 1) * height };
        const std::vector<COLORREF> before = ListPixels(m_list.m_hWnd, row);
        const std::vector<COLORREF> barBefore = ListPixels(m_list.m_hWnd, bar, true);
        m_list.AddLine(line % 2 ? "Compare data...OK!" : "Write 512 bytes... [512/512] OK!");
        EXPECT_EQ(ListPixels(m_list.m_hWnd, row), before) << "line " << line << " was drawn within AddLine";
        EXPECT_EQ(ListPixels(m_list.m_hWnd, bar, true), barBefore) << "line " << line << ": scroll bar drawn within AddLine";
        DispatchQueued();
        EXPECT_NE(ListPixels(m_list.m_hWnd, row), before) << "line " << line << " was not drawn at the next pass";
    }
}

} // namespace
