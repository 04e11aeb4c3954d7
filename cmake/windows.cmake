# Windows build, cross-compiled with mingw-w64: the portable core, the pipe channel over a
# Windows named pipe, the Win32 window operations, and their tests. The browser engine parts
# (src/app, src/host) are not built here.
#
# Executables link libgcc, libstdc++ and winpthreads statically so that they run under Wine
# (or on Windows) without any DLL beside them.
add_compile_definitions(NOMINMAX WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0A00)
add_link_options(-static -static-libgcc -static-libstdc++)
# No debug information and light optimisation: nothing reads it under Wine, nothing there is
# timed, and the two are most of the build's and the links' time (RE2 and PCRE2 included).
add_compile_options(-g0 -O1)

# GoogleTest from Debian's sources (package googletest), built with the cross compiler.
set(TRBROWSER_GOOGLETEST_DIR /usr/src/googletest CACHE PATH "GoogleTest sources to build")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${TRBROWSER_GOOGLETEST_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
target_compile_options(gtest PRIVATE -w -O0)  # one large file: optimising it costs the most
target_compile_options(gtest_main PRIVATE -w)
if(NOT TARGET GTest::gtest)  # older GoogleTest sources do not name them so themselves
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()
include(GoogleTest)
# Listing the tests means running them under Wine: leave it to ctest, not to the build.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
enable_testing()

# RE2 and PCRE2 from Debian's source packages (tests/windows/run.sh fetches them with
# apt-get source), built with the cross compiler as static libraries. PCRE2 without its JIT:
# the interpreter answers the same, only slower, and the step budget holds for both.
set(TRBROWSER_RE2_DIR ${CMAKE_BINARY_DIR}/deps/re2 CACHE PATH "RE2 sources to build")
set(TRBROWSER_PCRE2_DIR ${CMAKE_BINARY_DIR}/deps/pcre2 CACHE PATH "PCRE2 sources to build")
if(NOT EXISTS ${TRBROWSER_RE2_DIR}/CMakeLists.txt OR NOT EXISTS ${TRBROWSER_PCRE2_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "RE2 and PCRE2 sources are missing in ${CMAKE_BINARY_DIR}/deps: "
                      "run tests/windows/run.sh, which fetches them")
endif()
set(RE2_BUILD_TESTING OFF CACHE BOOL "" FORCE)
set(PCRE2_BUILD_PCRE2GREP OFF CACHE BOOL "" FORCE)
set(PCRE2_BUILD_TESTS OFF CACHE BOOL "" FORCE)
set(PCRE2_SHOW_REPORT OFF CACHE BOOL "" FORCE)
set(PCRE2_SUPPORT_JIT OFF CACHE BOOL "" FORCE)
set(BUILD_SHARED_LIBS OFF CACHE BOOL "" FORCE)
set(BUILD_STATIC_LIBS ON CACHE BOOL "" FORCE)
add_subdirectory(${TRBROWSER_RE2_DIR} ${CMAKE_BINARY_DIR}/re2 EXCLUDE_FROM_ALL)
add_subdirectory(${TRBROWSER_PCRE2_DIR} ${CMAKE_BINARY_DIR}/pcre2 EXCLUDE_FROM_ALL)
target_compile_options(re2 PRIVATE -w)
# Only the RE2 the allow-list uses: no sets, no filtered matching.
get_target_property(re2_sources re2 SOURCES)
list(FILTER re2_sources EXCLUDE REGEX "re2/(set|filtered_re2|prefilter|prefilter_tree)\\.cc$")
set_property(TARGET re2 PROPERTY SOURCES ${re2_sources})
target_compile_options(pcre2-8-static PRIVATE -w)
set(TRB_REGEX_LIBRARIES re2::re2 pcre2-8-static)

include(cmake/policy.cmake)

# The pipe channel: the portable files of cmake/pipe.cmake with the Windows siblings of the
# POSIX ones (stop signal, transport, connection).
include(cmake/pipe_sources.cmake)
add_library(trb_pipe STATIC
  ${TRB_PIPE_PORTABLE_SOURCES}
  src/pipe/win/stop_signal_win.cc
  src/pipe/win/named_pipe_transport.cc
  src/pipe/win/controller_connection_win.cc
  src/pipe/win/win32_window_ops.cc
)
target_include_directories(trb_pipe PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(trb_pipe PUBLIC trb_policy Threads::Threads user32)

add_executable(pipe_unit_tests tests/unit/window_model_test.cc tests/unit/window_check_test.cc)
target_link_libraries(pipe_unit_tests PRIVATE trb_pipe GTest::gtest_main)
gtest_discover_tests(pipe_unit_tests NO_PRETTY_VALUES DISCOVERY_TIMEOUT 60)

# The Linux integration tests' fakes and protocol cases, with a named-pipe test controller.
add_library(trb_pipe_testing STATIC
  tests/windows/test_controller_win.cc
  tests/integration/fake_browser.cc
)
target_include_directories(trb_pipe_testing PUBLIC ${CMAKE_SOURCE_DIR}/tests/integration)
target_link_libraries(trb_pipe_testing PUBLIC trb_pipe GTest::gtest)

add_executable(pipe_integration_tests
  tests/integration/pipe_commands_test.cc
  tests/windows/named_pipe_connection_test.cc
)
target_link_libraries(pipe_integration_tests PRIVATE trb_pipe_testing GTest::gtest_main)
gtest_discover_tests(pipe_integration_tests NO_PRETTY_VALUES DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)

add_executable(win32_window_tests
  tests/windows/win32_window_test.cc
)
target_include_directories(win32_window_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(win32_window_tests PRIVATE trb_pipe GTest::gtest_main)
gtest_discover_tests(win32_window_tests NO_PRETTY_VALUES DISCOVERY_TIMEOUT 60)
