#include "framework/win_app.h"

// The program's entry point belongs to the framework: the application object is global.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    return AfxWinMain(instance);
}
