# Every COM number that a test program or a rig program takes, one row an owner. CMake refuses
# a table in which two owners' ranges meet; CTest gives each test its owner's numbers
# (SELFTEST_COMS, with SELFTEST_COM_FIRST/LAST compiled into the program) and CTestCable
# refuses to plug a cable in anywhere else, so no program ever takes another's number.
#
# COM1 to COM13 is the band that discovery searches (COM1-COM12, and COM13 just past it):
# the tests of discovery and arrival plug their cables there, or count on it being empty. The
# owners marked BAND share it, and their tests take the lock com_band, so that no two of them
# run at once. ./run.sh (COM7 by default) and the guide's pictures use the band too: run them on
# a rig that no test run is using. Beyond numbers, tests share every window's announcements and
# the screen, which is why test.sh runs one test at a time.
#
# selftest_claim_coms(owner [first last] [BAND])
function(selftest_claim_coms owner)
  cmake_parse_arguments(C "BAND" "" "" ${ARGN})
  set(numbers "")
  if(C_UNPARSED_ARGUMENTS)
    list(GET C_UNPARSED_ARGUMENTS 0 first)
    list(GET C_UNPARSED_ARGUMENTS -1 last)
    if(first LESS_EQUAL 13)
      message(FATAL_ERROR "${owner}: COM1-COM13 is the shared band; claim it with BAND")
    endif()
    get_property(claims GLOBAL PROPERTY SELFTEST_COM_CLAIMS)
    foreach(claim IN LISTS claims)
      string(REPLACE ":" ";" fields "${claim}")
      list(GET fields 0 other)
      list(GET fields 1 otherFirst)
      list(GET fields 2 otherLast)
      if(NOT (last LESS otherFirst OR first GREATER otherLast))
        message(FATAL_ERROR "COM${first}-COM${last} of ${owner} meets COM${otherFirst}-COM${otherLast} of ${other}")
      endif()
    endforeach()
    set_property(GLOBAL APPEND PROPERTY SELFTEST_COM_CLAIMS "${owner}:${first}:${last}")
    set_property(GLOBAL PROPERTY SELFTEST_COM_RANGE_${owner} ${first} ${last})
    set(numbers "${first}-${last}")
  endif()
  if(C_BAND)
    list(APPEND numbers "1-13")
    set_property(GLOBAL PROPERTY SELFTEST_COM_BAND_${owner} TRUE)
  endif()
  string(REPLACE ";" "," numbers "${numbers}")
  set_property(GLOBAL PROPERTY SELFTEST_COMS_${owner} "${numbers}")
endfunction()

# owner                                 range    band
selftest_claim_coms(serial_port_test          20 24  BAND) # COM10, a two-digit name
selftest_claim_coms(serial_listener_test      25 29)
selftest_claim_coms(baudrate_pacing_test      30 31)
selftest_claim_coms(baudrate_run_test         32 33)
selftest_claim_coms(baudrate_data_test        34 34)
selftest_claim_coms(run_control_test          35 38)       # COM38 must never exist
selftest_claim_coms(verdict_test              39 39)
selftest_claim_coms(rig_roundtrip_test        40 40)
selftest_claim_coms(cable_driver_test         41 44)
selftest_claim_coms(dialog_window_test        50 59)
selftest_claim_coms(e2e_fault_test            60 71)
selftest_claim_coms(e2e_operator_test         72 79)
selftest_claim_coms(verdict_campaign          80 83  BAND) # twin 80, shipped 81, bridge 83; COM9 arrives
selftest_claim_coms(e2e_soak_test             84 84)
selftest_claim_coms(e2e_load_test             85 85)
selftest_claim_coms(e2e_bench                 86 86  BAND) # a slow port at COM2 before the cable at COM3
selftest_claim_coms(baudrate_bench            88 88)       # tests/bench/bench_baudrate.py
selftest_claim_coms(rig_console_ports_guarded 250 250)     # a link planted by hand, not a cable
selftest_claim_coms(port_discovery_cable_test        BAND)
selftest_claim_coms(dialog_startup_test              BAND) # counts on the band being empty
selftest_claim_coms(e2e_driver_test                  BAND)
