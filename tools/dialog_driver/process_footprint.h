// What another process holds, read from outside: for soak and campaign runs that watch one
// program process over many runs.
#pragma once

#include <windows.h>

struct Footprint
{
    int handles = -1;
    SIZE_T privateBytes = 0; // committed private memory (the page-file charge)
    int threads = -1;
};

int CountHandles(DWORD processId);
int CountThreads(DWORD processId);
Footprint MeasureFootprint(HANDLE process, DWORD processId);
