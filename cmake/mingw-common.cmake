# Shared by the MinGW-w64 toolchains; MINGW_TRIPLE is set by the including file, and
# MINGW_THREADS may be (default posix).
set(CMAKE_SYSTEM_NAME Windows)
if(NOT MINGW_THREADS)
  # GCC 12's -win32 flavour has no std::mutex, which GoogleTest needs.
  set(MINGW_THREADS posix)
endif()
set(CMAKE_C_COMPILER   ${MINGW_TRIPLE}-gcc-${MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-${MINGW_THREADS})
set(CMAKE_RC_COMPILER  ${MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Static runtime: the program then imports nothing but Windows' own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
