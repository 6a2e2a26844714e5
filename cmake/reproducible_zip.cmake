# Run by CPack after it wrote the zip: the same files must give the same bytes, and CPack's zip
# keeps the files' order on disk, their times and their owner, so a small step writes it again.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT CPACK_SELFTEST_PYTHON)
    message(WARNING "No Python 3: ${package} keeps the file times of this build")
    continue()
  endif()
  execute_process(COMMAND "${CPACK_SELFTEST_PYTHON}" "${CPACK_SELFTEST_SOURCE_DIR}/tools/release/normalise_zip.py" "${package}"
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "could not normalise ${package}: ${failed}")
  endif()
endforeach()
