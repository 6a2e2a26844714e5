/* The control device's text: a request split into words, numbers and switches read from them,
 * and the one reply line written, cut to its buffer. */
#include "cable.h"

/* ---- the reply ------------------------------------------------------------------------------ */

void CableSay(CABLE_REPLY *reply, const char *text)
{
    while (*text && reply->at + 1 < reply->end)
        *reply->at++ = *text++;
    *reply->at = 0;
}

void CableSayNumber(CABLE_REPLY *reply, ULONGLONG value)
{
    char digits[24];
    int count = 0;
    do {
        digits[count++] = (char)('0' + value % 10);
        value /= 10;
    } while (value);
    while (count && reply->at + 1 < reply->end)
        *reply->at++ = digits[--count];
    *reply->at = 0;
}

void CableSayField(CABLE_REPLY *reply, const char *name, ULONGLONG value)
{
    CableSay(reply, " ");
    CableSay(reply, name);
    CableSay(reply, "=");
    CableSayNumber(reply, value);
}

/* ---- the words of a request -------------------------------------------------------------- */

int CableSplit(char *line, char **words)
{
    int count = 0;
    while (*line && count < CABLE_MAX_WORDS) {
        while (*line == ' ' || *line == '\t' || *line == '\r' || *line == '\n')
            *line++ = 0;
        if (!*line)
            break;
        words[count++] = line;
        while (*line && *line != ' ' && *line != '\t' && *line != '\r' && *line != '\n')
            ++line;
    }
    return count;
}

BOOLEAN CableSame(const char *a, const char *b)
{
    while (*a && *b) {
        char x = *a >= 'A' && *a <= 'Z' ? (char)(*a + 32) : *a;
        char y = *b >= 'A' && *b <= 'Z' ? (char)(*b + 32) : *b;
        if (x != y)
            return FALSE;
        ++a, ++b;
    }
    return *a == *b;
}

BOOLEAN CableNumber(const char *text, ULONG *value)
{
    ULONGLONG result = 0;
    if (!*text)
        return FALSE;
    for (; *text; ++text) {
        if (*text < '0' || *text > '9')
            return FALSE;
        result = result * 10 + (ULONG)(*text - '0');
        if (result > 0x7FFFFFFF)
            return FALSE;
    }
    *value = (ULONG)result;
    return TRUE;
}

BOOLEAN CableComNumber(const char *text, ULONG *number)
{
    if ((text[0] == 'c' || text[0] == 'C') && (text[1] == 'o' || text[1] == 'O') && (text[2] == 'm' || text[2] == 'M'))
        text += 3;
    return CableNumber(text, number) && *number >= 1 && *number <= CABLE_MAX_COM;
}

BOOLEAN CableOnOff(const char *text, BOOLEAN *value)
{
    if (CableSame(text, "on"))
        *value = TRUE;
    else if (CableSame(text, "off"))
        *value = FALSE;
    else
        return FALSE;
    return TRUE;
}

/* "none" gives -1. */
BOOLEAN CableCountOrNone(const char *text, LONG *value)
{
    ULONG number;
    if (CableSame(text, "none")) {
        *value = -1;
        return TRUE;
    }
    if (!CableNumber(text, &number))
        return FALSE;
    *value = (LONG)number;
    return TRUE;
}
