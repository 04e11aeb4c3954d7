# What only load finds, against the real browser under a display of each entry's own (label
# "stress"): tests/stress/test_stress.py, two entries that run side by side.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
foreach(part "helpers:HelperDeath Soak" "input:ControllerInput WindowBursts")
  string(REGEX MATCHALL "[^: ]+" words "${part}")
  list(POP_FRONT words name)
  list(TRANSFORM words PREPEND test_stress.)
  add_test(NAME stress_${name} COMMAND ${Python3_EXECUTABLE} -m unittest -v ${words}
           WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/tests/stress)
  set_tests_properties(stress_${name} PROPERTIES LABELS stress TIMEOUT 900 COST 70
    RESOURCE_LOCK heavy_load
    ENVIRONMENT "TRBROWSER_BIN=$<TARGET_FILE:trbrowser>;DISPLAY=")
endforeach()
set_tests_properties(stress_input PROPERTIES COST 50)
