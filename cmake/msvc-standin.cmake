# clang-cl, lld-link and llvm-rc in Visual Studio's place, to configure (not build) the product as
# CMake configures it for Visual Studio's compiler: tools/checks/check_compiler_options.sh reads the
# commands it generates. Debian has no Windows SDK to compile against, so the checks are skipped.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
# clang named clang-cl runs as clang-cl; the check makes that link (MSVC_STANDIN_BIN).
set(CMAKE_C_COMPILER ${MSVC_STANDIN_BIN}/clang-cl)
set(CMAKE_CXX_COMPILER ${MSVC_STANDIN_BIN}/clang-cl)
set(CMAKE_RC_COMPILER llvm-rc)
set(CMAKE_LINKER lld-link)
set(CMAKE_C_COMPILER_TARGET i686-pc-windows-msvc)
set(CMAKE_CXX_COMPILER_TARGET i686-pc-windows-msvc)
set(CMAKE_C_COMPILER_WORKS ON)
set(CMAKE_CXX_COMPILER_WORKS ON)
set(CMAKE_RC_COMPILER_WORKS ON)
set(CMAKE_SIZEOF_VOID_P 4)
