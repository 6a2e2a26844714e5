// The result log's line split, seen in a real list box.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "app/result_list.h"

namespace {

class ResultListTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        HWND hWnd = ::CreateWindowExA(0, "LISTBOX", "", WS_POPUP | LBS_NOTIFY | LBS_USETABSTOPS, 0, 0, 300, 200,
                                      nullptr, nullptr, ::GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(hWnd, nullptr);
        m_list.Attach(hWnd);
    }
    void TearDown() override { ::DestroyWindow(m_list.Detach()); }

    std::string Line(int index)
    {
        std::string text((size_t)m_list.GetTextLen(index) + 1, '\0');
        text.resize((size_t)m_list.GetText(index, &text[0]));
        return text;
    }

    CResultList m_list;
};

struct SplitCase
{
    const char* name;
    const char* text;
    const char* shown;
};

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
    for (const SplitCase& c : kSplitCases) {
        m_list.AddLine(c.text);
        const int last = m_list.GetCount() - 1;
        EXPECT_EQ(Line(last), c.shown) << c.name;
    }
    EXPECT_EQ(m_list.GetCount(), (int)(sizeof(kSplitCases) / sizeof(kSplitCases[0])));
}

TEST_F(ResultListTest, KeepsOrderAndSelectsTheNewestLine)
{
    const char* const lines[] = { "zeta OK!", "alpha", "mid FAILED!" };
    for (int i = 0; i < 3; ++i) {
        m_list.AddLine(lines[i]);
        EXPECT_EQ(m_list.GetCurSel(), i);
    }
    EXPECT_EQ(Line(0), "zeta \tOK!");
    EXPECT_EQ(Line(1), "alpha");
    EXPECT_EQ(Line(2), "mid \tFAILED!");
}

} // namespace
