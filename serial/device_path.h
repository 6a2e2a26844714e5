#pragma once
// The name a user types or picks ("COM3", "COM10") and the path that opens it.
//
// Windows opens COM1..COM9 by their bare names but "COM10" and above only through the
// device namespace, so every bare "COMn" is reached as "\\.\COMn" (any n, any letter case).
// Any other name, including one that already has a prefix, is passed unchanged.
#include <cstddef>

// Writes the path for `name` into `path` (zero-terminated, truncated to pathSize - 1 chars).
// Returns true when the name was a bare "COMn" and got the device prefix.
bool MakeDevicePath(const char* name, char* path, size_t pathSize);
