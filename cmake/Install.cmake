# What `cmake --install` puts beside the zalmor binary (installed by the top-level file):
# the manual page, the ioq tool for looking at results, and the .ioq format description.
# Included from the top-level CMakeLists.txt after the zalmor target is defined.
include(GNUInstallDirs)

install(FILES ${PROJECT_SOURCE_DIR}/docs/zalmor.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# A Python 3 script using the system interpreter (/usr/bin/python3 with numpy and matplotlib).
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/ioq
  DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES ${PROJECT_SOURCE_DIR}/docs/ioq-format.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
