# The 64-bit test twin, run under 64-bit Wine through the rig's wrapper.
set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# second_try: a program that Wine lets die before its first line gets one more launch.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/rig/second_try.sh ${CMAKE_CURRENT_LIST_DIR}/../tools/rig/winerun.sh)
