#include "serial/serial_api.h"

CSerialApi CSerialApi::Real()
{
    CSerialApi api;
    api.CreateFileA = ::CreateFileA;
    api.CloseHandle = ::CloseHandle;
    api.SetupComm = ::SetupComm;
    api.GetCommState = ::GetCommState;
    api.SetCommState = ::SetCommState;
    api.GetCommTimeouts = ::GetCommTimeouts;
    api.SetCommTimeouts = ::SetCommTimeouts;
    api.SetCommMask = ::SetCommMask;
    api.WaitCommEvent = ::WaitCommEvent;
    api.ClearCommError = ::ClearCommError;
    api.GetDefaultCommConfigA = ::GetDefaultCommConfigA;
    api.SetCommConfig = ::SetCommConfig;
    api.ReadFile = ::ReadFile;
    api.WriteFile = ::WriteFile;
    api.GetOverlappedResult = ::GetOverlappedResult;
    api.CancelIo = ::CancelIo;
    api.CreateEventA = ::CreateEventA;
    api.SetEvent = ::SetEvent;
    api.ResetEvent = ::ResetEvent;
    api.WaitForSingleObject = ::WaitForSingleObject;
    api.CreateThread = ::CreateThread;
    api.PostMessageA = ::PostMessageA;
    return api;
}

CSerialApi g_serialApi = CSerialApi::Real();
