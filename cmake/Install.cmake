# What `cmake --install` puts beside the zalmor binary (installed by the top-level file):
# the manual page, the tools for making models and looking at results, and the documents.
# Included from the top-level CMakeLists.txt after the zalmor target is defined.
include(GNUInstallDirs)

install(FILES ${PROJECT_SOURCE_DIR}/docs/zalmor.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Python 3 commands using the system interpreter (/usr/bin/python3 with numpy, matplotlib,
# python3-ase and python3-periodictable). They run the package zalmor, which
# cmake/Python.cmake installs.
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/ioq ${PROJECT_SOURCE_DIR}/tools/tocoords
  ${PROJECT_SOURCE_DIR}/tools/zalmor-box
  DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES ${PROJECT_SOURCE_DIR}/docs/ioq-format.md ${PROJECT_SOURCE_DIR}/docs/guide.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
