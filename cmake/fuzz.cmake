# libFuzzer targets for the portable core (opt-in: -DTRBROWSER_FUZZ=ON, clang only). The
# libraries they exercise are instrumented for coverage; the sanitizers come from
# TRBROWSER_SANITIZE, which the fuzz build needs. tests/fuzz/run.sh configures and runs them.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "TRBROWSER_FUZZ needs clang's libFuzzer: configure with CXX=clang++")
endif()
if(NOT TRBROWSER_SANITIZE)
  message(FATAL_ERROR "TRBROWSER_FUZZ needs -DTRBROWSER_SANITIZE=ON (ASan + UBSan)")
endif()

foreach(library trb_policy trb_pipe)
  target_compile_options(${library} PRIVATE -fsanitize=fuzzer-no-link)
endforeach()

add_custom_target(fuzzers)
foreach(name pipe origins pages)
  # The target itself is not instrumented: its oracles are not what is explored, and tracing
  # them would cost every input.
  add_executable(${name}_fuzzer tests/fuzz/${name}_fuzzer.cc)
  target_link_options(${name}_fuzzer PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name}_fuzzer PRIVATE trb_pipe)
  add_dependencies(fuzzers ${name}_fuzzer)
endforeach()
