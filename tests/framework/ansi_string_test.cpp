#include "framework/ansi_string.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

TEST(AnsiString, HoldsCopiesCutsAndAppends)
{
    struct Case { const char* name; CString value; const char* expected; };
    CString source("COM12");
    CString moved(source);
    CString moveTarget(std::move(moved));
    CString appended("Compare data...");
    appended += "\t";
    appended += "OK!";
    CString selfAssigned("same");
    CString& alias = selfAssigned;
    selfAssigned = alias;

    const Case cases[] = {
        { "default", CString(), "" },
        { "null text", CString(nullptr), "" },
        { "copy", CString(source), "COM12" },
        { "moved into", std::move(moveTarget), "COM12" },
        { "left part", CString("Write 512 bytes... OK!").Left(19), "Write 512 bytes... " },
        { "left beyond length", CString("abc").Left(10), "abc" },
        { "left of nothing", CString("abc").Left(-1), "" },
        { "appended", appended, "Compare data...\tOK!" },
        { "self assigned", selfAssigned, "same" },
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(c.value.GetString(), c.expected) << c.name;
        EXPECT_EQ(c.value.GetLength(), lstrlenA(c.expected)) << c.name;
        EXPECT_EQ(c.value.IsEmpty(), c.expected[0] == '\0') << c.name;
    }
    EXPECT_TRUE(moved.IsEmpty()) << "a moved-from text is empty";
    EXPECT_TRUE(source == "COM12" && source != "COM1");
}

} // namespace
