#include "handle_count.h"

#include <windows.h>

#include <vector>

long OwnHandleCount()
{
    struct Entry {
        PVOID object;
        ULONG_PTR processId;
        ULONG_PTR handle;
        ULONG access;
        USHORT creatorBackTrace;
        USHORT objectType;
        ULONG attributes;
        ULONG reserved;
    };
    struct Table {
        ULONG_PTR count;
        ULONG_PTR reserved;
        Entry entries[1];
    };
    typedef LONG(NTAPI * QuerySystemInformation)(ULONG, PVOID, ULONG, PULONG);
    const ULONG kExtendedHandleInformation = 64;
    QuerySystemInformation query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (query == NULL)
        return -1;
    std::vector<ULONG_PTR> buffer(1 << 18);
    ULONG length = 0;
    if (query(kExtendedHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size() * sizeof(ULONG_PTR)),
              &length) != 0)
        return -1;
    const Table* table = reinterpret_cast<const Table*>(buffer.data());
    long own = 0;
    for (ULONG_PTR i = 0; i < table->count; ++i)
        if (table->entries[i].processId == ::GetCurrentProcessId())
            ++own;
    return own;
}
