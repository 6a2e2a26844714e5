#include "support/list_box_lines.h"

std::vector<std::string> ListBoxLines(const CListBox& list)
{
    std::vector<std::string> lines;
    for (int i = 0; i < list.GetCount(); ++i) {
        std::string text((size_t)list.GetTextLen(i) + 1, '\0');
        text.resize((size_t)list.GetText(i, &text[0]));
        lines.push_back(text);
    }
    return lines;
}
