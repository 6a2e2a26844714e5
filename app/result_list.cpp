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
    // Selecting the new line of a full list scrolls it, and under Wine the list then repaints
    // within the call, some 10 ms a line outside the test's pauses. With redrawing off the list
    // only takes the change; the next paint, in the pause that follows, draws it.
    SetRedraw(FALSE);
    SetCurSel(AddString(text));
    SetRedraw(TRUE);
    Invalidate();
}
