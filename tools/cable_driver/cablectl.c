/* The rig's client of the virtual cable driver: one request per run, in the control device's
 * words (cable_ioctl.h); the reply goes to stdout. Adding or restoring a port announces its
 * arrival to every top-level window, removing it or hanging it up its removal, unless the
 * first argument is --quiet.
 *   cablectl [--quiet] REQUEST...      exit 0: OK, 1: ERR, 2: no driver */
#include "cable_ioctl.h"
#include "port_broadcast.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int IsWord(const char *word, const char *expected) { return _stricmp(word, expected) == 0; }

static int ComOf(const char *text)
{
    if (_strnicmp(text, "com", 3) == 0)
        text += 3;
    return atoi(text);
}

int main(int argc, char **argv)
{
    static char reply[65536];
    char request[CABLE_REQUEST_MAX + 1] = "";
    int quiet = argc > 1 && IsWord(argv[1], "--quiet");
    int first = quiet ? 2 : 1, i, com = 0, arrival = -1;
    DWORD returned = 0;
    HANDLE control;

    if (argc <= first) {
        fprintf(stderr, "usage: cablectl [--quiet] REQUEST...\n");
        return 2;
    }
    for (i = first; i < argc; ++i) {
        if (strlen(request) + strlen(argv[i]) + 2 > sizeof(request))
            return 2;
        if (i > first)
            strcat(request, " ");
        strcat(request, argv[i]);
    }
    control = CreateFileA(CABLE_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (control == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "cablectl: no cable driver (%lu)\n", GetLastError());
        return 2;
    }
    if (!DeviceIoControl(control, IOCTL_CABLE_COMMAND, request, (DWORD)strlen(request), reply, sizeof(reply),
                         &returned, NULL)) {
        fprintf(stderr, "cablectl: request failed (%lu)\n", GetLastError());
        CloseHandle(control);
        return 2;
    }
    CloseHandle(control);
    printf("%s\n", reply);
    fflush(stdout);
    if (strncmp(reply, "OK", 2) != 0)
        return 1;
    if (argc - first >= 2 && IsWord(argv[first], "add"))
        com = ComOf(argv[first + 1]), arrival = 1;
    else if (argc - first >= 2 && IsWord(argv[first], "remove"))
        com = ComOf(argv[first + 1]), arrival = 0;
    else if (argc - first == 2 && (IsWord(argv[first + 1], "restore") || IsWord(argv[first + 1], "hangup")))
        com = ComOf(argv[first]), arrival = IsWord(argv[first + 1], "restore");
    if (!quiet && com > 0 && arrival >= 0)
        BroadcastPortChange(com, arrival, 1000);
    return 0;
}
