# The browser on Qt WebEngine: the engine boundary (src/host), the application (src/app),
# the executable, the handler's fake-engine tests and the end-to-end tests.
find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets WebEngineCore WebEngineWidgets)
find_package(Python3 COMPONENTS Interpreter)
# The X server is asked about GPU rendering before the toolkit connects (graphics_probe.cc).
find_package(PkgConfig REQUIRED)
pkg_check_modules(XCB REQUIRED IMPORTED_TARGET xcb)

# The application logic that needs no toolkit: testable against a fake engine.
add_library(trb_app_core STATIC
  src/app/browser_handler.cc
  src/app/command_line.cc
  src/app/graphics_choice.cc
  src/app/pipe_target.cc
  src/app/runtime_dir.cc
  src/app/session_platform.cc
)
target_include_directories(trb_app_core PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(trb_app_core PUBLIC trb_pipe trb_policy PRIVATE trb_version)

add_library(trb_host_qt STATIC
  src/host/qt/browser_window.cc
  src/host/qt/navigation_guard.cc
  src/host/qt/page_scheme.cc
  src/host/qt/qt_browser.cc
  src/host/qt/qt_engine.cc
  src/host/qt/qt_window_ops.cc
  src/host/qt/web_page.cc
  src/host/qt/x11_window_manager.cc
)
set_target_properties(trb_host_qt PROPERTIES AUTOMOC ON)
# The engine's and the toolkit's headers are most of each file's compile time.
target_precompile_headers(trb_host_qt PRIVATE <QWebEngineView> <QWebEnginePage> <QWidget> <QTimer>
                                              <QWindow>)
target_include_directories(trb_host_qt PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(trb_host_qt PUBLIC Qt6::Core Qt6::Gui Qt6::Widgets Qt6::WebEngineCore
                                         Qt6::WebEngineWidgets PRIVATE PkgConfig::XCB)

add_executable(trbrowser
  src/app/main.cc
  src/app/graphics_probe.cc
  src/app/host_app.cc
  src/app/quit_signals.cc
  src/app/startup_checks.cc
  resources/trbrowser.qrc
)
set_target_properties(trbrowser PROPERTIES AUTORCC ON)
target_precompile_headers(trbrowser REUSE_FROM trb_host_qt)
target_link_libraries(trbrowser PRIVATE trb_app_core trb_host_qt PkgConfig::XCB)
# The toolkit's X11 plugin must find our xcb_map_window first (x11_window_manager.cc).
target_link_options(trbrowser PRIVATE "LINKER:--export-dynamic-symbol=xcb_map_window")

# The application layer's tests against a fake engine, and its start-up choices.
add_executable(app_tests tests/unit/app_test.cc)
target_include_directories(app_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(app_tests PRIVATE trb_app_core Qt6::Core GTest::gtest_main)
gtest_discover_tests(app_tests NO_PRETTY_VALUES DISCOVERY_TIMEOUT 60)

# End-to-end: the real browser under Xvfb + openbox, driven over a real socket, against pages
# on 127.0.0.1. With DISPLAY empty each entry starts a display of its own: they run side by side.
if(Python3_Interpreter_FOUND)
  foreach(module navigation lifecycle window_model)
    add_test(NAME e2e_${module}
             COMMAND ${Python3_EXECUTABLE} -m unittest -v test_${module}
             WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/tests/e2e)
    set_tests_properties(e2e_${module} PROPERTIES LABELS e2e TIMEOUT 900 COST 60
      ENVIRONMENT "TRBROWSER_BIN=$<TARGET_FILE:trbrowser>;DISPLAY=")
  endforeach()
  # The window sequences wait for the window manager, never for a time, but on two cores
  # starved by the stress entries a late answer of the window manager can still cross the next
  # command (a few seeds in 200 under load): the two do not run side by side.
  set_tests_properties(e2e_window_model PROPERTIES RESOURCE_LOCK heavy_load)
endif()
