#!/usr/bin/env python3
"""Checks that a 32-bit Windows program starts on Windows XP SP3: it imports only Windows' own
DLLs, none of the functions those DLLs gained after XP, and its PE header asks for no newer
subsystem than 5.01. Reads the import table through the MinGW-w64 objdump.

    tools/checks/check_imports.py PROGRAM.exe   (exit 0: fit for XP; 1: not, with the reasons)
"""
import re
import subprocess
import sys

OWN_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "msvcrt.dll"}

# Functions of those DLLs that Windows XP SP3 does not export, among them every one that a
# MinGW-w64 runtime or C++ library may pull in.
NEWER_THAN_XP = set("""
GetTickCount64 CancelIoEx CancelSynchronousIo GetQueuedCompletionStatusEx
InitializeCriticalSectionEx InitOnceExecuteOnce InitOnceBeginInitialize InitOnceComplete
InitializeSRWLock AcquireSRWLockExclusive AcquireSRWLockShared ReleaseSRWLockExclusive
ReleaseSRWLockShared TryAcquireSRWLockExclusive TryAcquireSRWLockShared
InitializeConditionVariable SleepConditionVariableCS SleepConditionVariableSRW
WakeConditionVariable WakeAllConditionVariable
FlsAlloc FlsFree FlsGetValue FlsSetValue GetCurrentProcessorNumber GetThreadId GetProcessIdOfThread
CreateEventExA CreateEventExW CreateMutexExA CreateMutexExW CreateSemaphoreExA CreateSemaphoreExW
CreateWaitableTimerExW GetFileInformationByHandleEx SetFileInformationByHandle
GetFinalPathNameByHandleA GetFinalPathNameByHandleW CreateSymbolicLinkA CreateSymbolicLinkW
GetLocaleInfoEx LCMapStringEx CompareStringEx GetUserDefaultLocaleName LocaleNameToLCID LCIDToLocaleName
GetSystemTimePreciseAsFileTime GetDynamicTimeZoneInformation GetErrorMode SetThreadErrorMode
RaiseFailFastException QueryFullProcessImageNameA QueryFullProcessImageNameW
GetTickCount64 WerRegisterRuntimeExceptionModule AddDllDirectory SetDefaultDllDirectories
CreateThreadpoolWork SubmitThreadpoolWork CreateThreadpoolTimer SetThreadpoolTimer
GetNumaNodeProcessorMaskEx GetLogicalProcessorInformationEx GetThreadGroupAffinity
SetThreadGroupAffinity GetActiveProcessorCount RegGetValueA RegGetValueW
ChangeWindowMessageFilter ChangeWindowMessageFilterEx SetProcessDPIAware IsProcessDPIAware
GetDpiForWindow GetDpiForSystem RegisterPowerSettingNotification ShutdownBlockReasonCreate
TaskDialog TaskDialogIndirect
""".split())


def main(path):
    dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", path], capture_output=True,
                          text=True, check=True).stdout
    problems = []
    machine = re.search(r"^architecture:\s*(\S+)", subprocess.run(
        ["i686-w64-mingw32-objdump", "-f", path], capture_output=True, text=True,
        check=True).stdout, re.M)
    if not machine or "i386" not in machine.group(1):
        problems.append("not a 32-bit x86 program: %s" % (machine.group(1) if machine else "?"))
    major = int(re.search(r"^MajorSubsystemVersion\s+(\d+)", dump, re.M).group(1))
    minor = int(re.search(r"^MinorSubsystemVersion\s+(\d+)", dump, re.M).group(1))
    if (major, minor) > (5, 1):
        problems.append("subsystem version %d.%02d: XP loads 5.01 at most" % (major, minor))
    imports = {}
    dll = None
    for line in dump.splitlines():
        named = re.match(r"\s*DLL Name:\s*(\S+)", line)
        if named:
            dll = named.group(1).lower()
            imports[dll] = []
            continue
        entry = re.match(r"\s+[0-9a-f]+\s+\d+\s+(\w+)\s*$", line)
        if dll and entry:
            imports[dll].append(entry.group(1))
    if not imports:
        problems.append("no import table found")
    for name in sorted(set(imports) - OWN_DLLS):
        problems.append("imports %s, which is not Windows' own" % name)
    for name in sorted(imports):
        for function in imports[name]:
            if function in NEWER_THAN_XP:
                problems.append("imports %s!%s, which Windows XP lacks" % (name, function))
    for problem in problems:
        print("%s: %s" % (path, problem))
    if not problems:
        print("%s: fit for Windows XP SP3 (%d functions from %s)" % (
            path, sum(len(f) for f in imports.values()), ", ".join(sorted(imports))))
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1]))
