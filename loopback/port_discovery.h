#pragma once
// Finding the cable's COM port without asking the user: the first of COM1..COM12 whose
// driver answers the maker's private request. Only the cable's own USB-to-serial driver
// knows that request, so any other port, present or not, simply does not answer.
#include <windows.h>

// The three platform calls of one probe, with Win32's own signatures, so that a test can
// stand in for the driver.
struct PortProbeCalls {
    HANDLE(WINAPI* open)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
    BOOL(WINAPI* request)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
    BOOL(WINAPI* close)(HANDLE);
};

// The calls FindDevicePort makes: the real CreateFileA, DeviceIoControl and CloseHandle,
// unless a test points this elsewhere.
extern const PortProbeCalls* g_pPortProbeCalls;

// Writes "COMn" of the first port that answered into `name` (at least 6 bytes) and returns
// true; otherwise returns false with the last name tried, "COM12". Reports nothing else, and
// leaves no port open. Synchronous: each open and each answer is waited for without a bound
// of our own.
bool FindDevicePort(char* name);
