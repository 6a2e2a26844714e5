# The test programs built for 32-bit Windows from the same sources, run by 32-bit Wine: natively
# where the kernel executes 32-bit code, under user-mode emulation where it cannot.
set(MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# second_try: a program that Wine lets die before its first line gets one more launch.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/rig/second_try.sh ${CMAKE_CURRENT_LIST_DIR}/../tools/rig/winerun32.sh)
