#include "app/result_list.h"

#include <cstring>

IMPLEMENT_DYNAMIC(CResultList, CListBox)

BEGIN_MESSAGE_MAP(CResultList, CListBox)
END_MESSAGE_MAP()

namespace {

// Byte offset of the first `word` in `text` that starts on a character boundary of the ANSI
// code page, or -1. On a double-byte code page a trail byte can look like 'O' or 'F'; stepping
// whole characters keeps such a byte from starting a match.
int FindWord(const char* text, const char* word)
{
    const size_t wordLength = std::strlen(word);
    for (const char* p = text; *p != '\0'; p = ::CharNextA(p)) {
        if (std::strncmp(p, word, wordLength) == 0)
            return (int)(p - text);
    }
    return -1;
}

} // namespace

void CResultList::AddLine(CString text)
{
    static const char* const kStatusWords[] = { "OK!", "FAILED!" };
    for (const char* word : kStatusWords) {
        const int offset = FindWord(text, word);
        if (offset >= 0) {
            text = text.Left(offset);
            text += "\t";
            text += word;
            break;
        }
    }
    // Under Wine every change to a full list scrolls it, resizes its scroll bar and repaints it
    // within the call, some 2 ms a line outside the test's pauses. With redrawing off the list
    // only takes the change. A pause turns redrawing on at its start and paints the new lines;
    // the posted message does it for a line added anywhere else, at the next message pass.
    SetRedraw(FALSE);
    SetCurSel(AddString(text));
    PostMessage(WM_SETREDRAW, TRUE);
}
