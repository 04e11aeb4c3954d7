# Fault, stress and security tests against the real browser under Xvfb + openbox (label
# "stress"). They start many browsers one after the other, so they run alone. Counts and
# the full-size variant: tests/stress/stress_support.py.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
foreach(module test_controller_faults test_window_bursts test_flood test_hostile_input
               test_security test_recovery test_soak)
  add_test(NAME stress.${module}
           COMMAND ${Python3_EXECUTABLE} -m unittest -v ${module}
           WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/tests/stress)
  set_tests_properties(stress.${module} PROPERTIES
    LABELS stress RUN_SERIAL TRUE TIMEOUT 900
    ENVIRONMENT "TRBROWSER_BIN=$<TARGET_FILE:trbrowser>")
endforeach()
