// What message_tally.dll counts inside the shipped program, for the benchmarks: the port
// notifications that the dialog's thread takes from its queue, and how long each new log line
// waits for the list's next paint. The benchmark installs the DLL's two hooks on the dialog's
// thread; the hooks keep their figures in a mapping named after the program's process.
#pragma once

#include <windows.h>

struct MessageTally
{
    static const int kMaxLines = 64;

    LONG notifications;    // port notifications retrieved for dispatch
    LONG linesAdded;       // lines added to the result list (LB_ADDSTRING)
    LONG linesPainted;     // of those, lines that a paint of the list has followed since
    double lineToPaintMs[kMaxLines]; // for the first kMaxLines painted: from the add to that paint
};

// name: room for 64 characters.
inline void MessageTallyName(DWORD processId, char* name)
{
    ::wsprintfA(name, "selftest_message_tally_%lu", (unsigned long)processId);
}
