# Pipe command channel: the controller's connection, framing, command language and
# execution against the browser interfaces. No toolkit.
include(cmake/pipe_sources.cmake)
add_library(trb_pipe STATIC
  ${TRB_PIPE_PORTABLE_SOURCES}
  src/pipe/stop_signal.cc
  src/pipe/socket_path.cc
  src/pipe/unix_socket_transport.cc
  src/pipe/controller_connection_unix.cc
  src/pipe/events.cc
  src/pipe/event_writer.cc
)
# The events' JSON encoding (header-only).
find_package(nlohmann_json 3.9 REQUIRED)
target_include_directories(trb_pipe PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(trb_pipe PUBLIC trb_policy Threads::Threads)
target_link_libraries(trb_pipe PRIVATE nlohmann_json::nlohmann_json)

if(TRBROWSER_CORE_TESTS)
  add_executable(pipe_unit_tests tests/unit/window_model_test.cc tests/unit/window_check_test.cc)
  target_link_libraries(pipe_unit_tests PRIVATE trb_pipe GTest::gtest_main)
  gtest_discover_tests(pipe_unit_tests NO_PRETTY_VALUES DISCOVERY_TIMEOUT 60)
endif()

# The window model as a program, for the randomised end-to-end window test.
add_executable(window_oracle tests/e2e/window_oracle.cc)
target_link_libraries(window_oracle PRIVATE trb_pipe)

add_library(trb_pipe_testing STATIC
  tests/integration/test_controller.cc
  tests/integration/fake_browser.cc
)
target_link_libraries(trb_pipe_testing PUBLIC trb_pipe GTest::gtest)

if(TRBROWSER_CORE_TESTS)
  add_executable(pipe_integration_tests tests/integration/pipe_commands_test.cc
                                        tests/integration/pipe_connection_test.cc)
  target_link_libraries(pipe_integration_tests PRIVATE trb_pipe_testing nlohmann_json::nlohmann_json
                                                       GTest::gtest_main)
  gtest_discover_tests(pipe_integration_tests NO_PRETTY_VALUES DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 120)
endif()

if(TRBROWSER_BENCH)
  add_executable(bench_pipe_roundtrip bench/pipe_roundtrip.cc)
  target_link_libraries(bench_pipe_roundtrip PRIVATE trb_pipe)
endif()
