# Installing and packaging: the two programs, their manual pages, the documentation with the
# example controllers, the icon, and the Debian package that CPack builds from all of that
# (scripts/package.sh).
include(GNUInstallDirs)

install(TARGETS trbrowser trbrowserctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES README.md docs/protocol.md packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
foreach(size 32 48 64 128 256)
  install(FILES resources/icons/icon-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME trbrowser.png)
endforeach()

# The package's changelog gives its version and its maintainer; the version must be the
# project's.
file(STRINGS packaging/changelog changelog_lines)
list(GET changelog_lines 0 changelog_head)
if(NOT changelog_head MATCHES "^trbrowser \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog does not start with an entry for version "
                      "${PROJECT_VERSION}: add one (the version is set in CMakeLists.txt)")
endif()
list(FILTER changelog_lines INCLUDE REGEX "^ -- ")
list(GET changelog_lines 0 changelog_signature)
string(REGEX REPLACE "^ -- (.*>)  .*$" "\\1" TRB_MAINTAINER "${changelog_signature}")

# Manual pages and the compressed changelog are made while installing, once the place of the
# documentation they point to is known: the package's prefix, or the one given to
# cmake --install.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
find_program(TRB_LOWDOWN lowdown REQUIRED)
find_program(TRB_GZIP gzip REQUIRED)
install(CODE "
  set(TRB_PYTHON \"${Python3_EXECUTABLE}\")
  set(TRB_LOWDOWN \"${TRB_LOWDOWN}\")
  set(TRB_GZIP \"${TRB_GZIP}\")
  set(TRB_SOURCE_DIR \"${CMAKE_SOURCE_DIR}\")
  set(TRB_WORK_DIR \"${CMAKE_BINARY_DIR}/install-docs\")
  set(TRB_VERSION \"${PROJECT_VERSION}\")
  set(TRB_MANDIR \"${CMAKE_INSTALL_MANDIR}\")
  set(TRB_DOCDIR \"${CMAKE_INSTALL_DOCDIR}\")
  include(\"${CMAKE_SOURCE_DIR}/cmake/install_docs.cmake\")
")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trbrowser)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${TRB_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "kiosk web browser driven by another program over a local socket")
set(CPACK_PACKAGE_DESCRIPTION "\
trbrowser is a single-window web browser that another program, the
controller, starts and drives over a local socket with a small text
protocol, and that keeps its user inside an allow-list of origins: for
kiosks, point-of-sale and lab stations, sign-in and help windows. It is
built on Qt WebEngine (Chromium). trbrowserctl drives it from scripts.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Install as into the real /usr, below a staging DESTDIR, so that the manual pages name the
# places the package puts things.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: the libraries the programs link, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Wayland sessions without XWayland need Qt's Wayland plugin; the tavrin: scheme is handed to
# xdg-open.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Packaging builds only what the package holds (scripts/package.sh builds those targets).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
include(CPack)

# The package as a user gets it (tests/package): needs the built programs and a display for its
# one session; scripts/test.sh runs it under scripts/with-display.sh.
add_test(NAME package
         COMMAND ${Python3_EXECUTABLE} -m unittest -v test_package
         WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/tests/package)
set_tests_properties(package PROPERTIES
  LABELS package
  TIMEOUT 900
  ENVIRONMENT "TRB_BUILD_DIR=${CMAKE_BINARY_DIR};TRB_SOURCE_DIR=${CMAKE_SOURCE_DIR};TRBROWSER_VERSION=${PROJECT_VERSION}")
