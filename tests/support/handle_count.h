#pragma once
// Handles this process holds, counted in the system's handle table; -1 when it cannot be read.
// What shows a handle left open under Wine, which lets an exclusive open succeed beside it.
#include "process_footprint.h"

inline long OwnHandleCount() { return CountHandles(::GetCurrentProcessId()); }
