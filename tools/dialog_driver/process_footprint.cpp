#include "process_footprint.h"

#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <vector>

namespace
{
// SystemExtendedHandleInformation: the per-process handle count query is not available for
// another process under Wine, the system-wide handle list is.
struct HandleEntry
{
    PVOID object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG access;
    USHORT backTrace;
    USHORT typeIndex;
    ULONG attributes;
    ULONG reserved;
};
struct HandleList
{
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};
const ULONG kSystemExtendedHandleInformation = 64;
} // namespace

int CountHandles(DWORD processId)
{
    typedef NTSTATUS(NTAPI * QuerySystem)(ULONG, PVOID, ULONG, PULONG);
    QuerySystem query = (QuerySystem)(void*)::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    if (query == nullptr)
        return -1;
    std::vector<BYTE> buffer(1 << 20);
    ULONG needed = 0;
    while (query(kSystemExtendedHandleInformation, buffer.data(), (ULONG)buffer.size(), &needed) != 0) {
        if (buffer.size() >= (1u << 26))
            return -1;
        buffer.resize(buffer.size() * 2);
    }
    const HandleList* list = reinterpret_cast<const HandleList*>(buffer.data());
    int count = 0;
    for (ULONG_PTR i = 0; i < list->count; ++i)
        count += list->entries[i].processId == processId;
    return count;
}

int CountThreads(DWORD processId)
{
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    int count = 0;
    for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == processId;
    ::CloseHandle(snapshot);
    return count;
}

Footprint MeasureFootprint(HANDLE process, DWORD processId)
{
    Footprint footprint;
    footprint.handles = CountHandles(processId);
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (::GetProcessMemoryInfo(process, &counters, sizeof(counters)))
        footprint.privateBytes = counters.PagefileUsage;
    footprint.threads = CountThreads(processId);
    return footprint;
}
