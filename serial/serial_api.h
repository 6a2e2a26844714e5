#pragma once
// The Win32 calls of the serial classes, as one table of function pointers.
//
// The serial classes call Win32 only through g_serialApi, which starts out holding the real
// functions. Tests swap single entries to make a call fail (a device that refuses its
// settings, an exhausted handle table) and put them back; the product runs the same path
// with the real entries. Swap entries only while no listener thread runs.
#include <windows.h>

struct CSerialApi
{
    decltype(&::CreateFileA) CreateFileA;
    decltype(&::CloseHandle) CloseHandle;
    decltype(&::SetupComm) SetupComm;
    decltype(&::GetCommState) GetCommState;
    decltype(&::SetCommState) SetCommState;
    decltype(&::GetCommTimeouts) GetCommTimeouts;
    decltype(&::SetCommTimeouts) SetCommTimeouts;
    decltype(&::SetCommMask) SetCommMask;
    decltype(&::WaitCommEvent) WaitCommEvent;
    decltype(&::ClearCommError) ClearCommError;
    decltype(&::GetDefaultCommConfigA) GetDefaultCommConfigA;
    decltype(&::SetCommConfig) SetCommConfig;
    decltype(&::ReadFile) ReadFile;
    decltype(&::WriteFile) WriteFile;
    decltype(&::GetOverlappedResult) GetOverlappedResult;
    decltype(&::CancelIo) CancelIo;
    decltype(&::CreateEventA) CreateEventA;
    decltype(&::SetEvent) SetEvent;
    decltype(&::ResetEvent) ResetEvent;
    decltype(&::WaitForSingleObject) WaitForSingleObject;
    decltype(&::CreateThread) CreateThread;
    decltype(&::PostMessageA) PostMessageA;

    // The table as the system provides it.
    static CSerialApi Real();
};

extern CSerialApi g_serialApi;
