# The product: 32-bit Windows, Windows XP SP3 and later. The -win32 thread model links no
# threads library: the -posix one brings libwinpthread, which imports GetTickCount64 (Vista).
set(MINGW_TRIPLE i686-w64-mingw32)
set(MINGW_THREADS win32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
