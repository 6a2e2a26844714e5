# The release package, `cmake --build --preset win32 --target package`:
# selftest-<version>-win32.zip with the program as built here (the file the 32-bit leg tests),
# the operator's guide in Simplified Chinese with its pictures, and a SHA-256 list of them.
set(SELFTEST_GUIDE_MD ${PROJECT_SOURCE_DIR}/docs/operator-guide.zh-CN.md)
set(SELFTEST_GUIDE_TXT ${CMAKE_BINARY_DIR}/package/operator-guide.zh-CN.txt)
set(SELFTEST_SUMS ${CMAKE_BINARY_DIR}/package/SHA256SUMS.txt)
set(SELFTEST_SHOTS ready running ok ng port-error)

add_custom_command(OUTPUT ${SELFTEST_GUIDE_TXT}
  COMMAND ${CMAKE_COMMAND} -DIN=${SELFTEST_GUIDE_MD} -DOUT=${SELFTEST_GUIDE_TXT}
          -P ${PROJECT_SOURCE_DIR}/cmake/guide_text.cmake
  DEPENDS ${SELFTEST_GUIDE_MD} ${PROJECT_SOURCE_DIR}/cmake/guide_text.cmake
  COMMENT "The operator's guide as text")
set(sum_entries "selftest.exe=$<TARGET_FILE:selftest>" "operator-guide.zh-CN.txt=${SELFTEST_GUIDE_TXT}")
set(shot_files "")
foreach(shot IN LISTS SELFTEST_SHOTS)
  list(APPEND shot_files ${PROJECT_SOURCE_DIR}/docs/guide/${shot}.png)
  list(APPEND sum_entries "guide/${shot}.png=${PROJECT_SOURCE_DIR}/docs/guide/${shot}.png")
endforeach()
add_custom_command(OUTPUT ${SELFTEST_SUMS}
  COMMAND ${CMAKE_COMMAND} -DOUT=${SELFTEST_SUMS} "-DENTRIES=${sum_entries}"
          -P ${PROJECT_SOURCE_DIR}/cmake/sha256_list.cmake
  DEPENDS selftest ${SELFTEST_GUIDE_TXT} ${shot_files} ${PROJECT_SOURCE_DIR}/cmake/sha256_list.cmake
  COMMENT "The release's SHA-256 list"
  VERBATIM)
add_custom_target(release_files ALL DEPENDS ${SELFTEST_GUIDE_TXT} ${SELFTEST_SUMS})

install(TARGETS selftest RUNTIME DESTINATION .)
install(FILES ${SELFTEST_GUIDE_TXT} ${SELFTEST_SUMS} DESTINATION .)
install(FILES ${shot_files} DESTINATION guide)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_SYSTEM_NAME win32)
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME selftest)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME selftest-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
find_package(Python3 COMPONENTS Interpreter)
set(CPACK_SELFTEST_PYTHON "${Python3_EXECUTABLE}")
set(CPACK_SELFTEST_SOURCE_DIR "${PROJECT_SOURCE_DIR}")
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/reproducible_zip.cmake)
include(CPack)
