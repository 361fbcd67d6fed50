# What `cmake --install` puts beside the zalmor binary (installed by the top-level file):
# the manual page, the tools for making models and looking at results, and the documents.
# Included from the top-level CMakeLists.txt after the zalmor target is defined.
include(GNUInstallDirs)

install(FILES ${PROJECT_SOURCE_DIR}/docs/zalmor.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Python 3 scripts using the system interpreter (/usr/bin/python3 with numpy, matplotlib,
# python3-ase and python3-periodictable). ioq finds its module zalmor_ioq.py beside itself
# in the sources and in share/zalmor/python when installed.
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/ioq ${PROJECT_SOURCE_DIR}/tools/tocoords
  DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/tools/zalmor_ioq.py
  DESTINATION ${CMAKE_INSTALL_DATADIR}/zalmor/python)

install(FILES ${PROJECT_SOURCE_DIR}/docs/ioq-format.md ${PROJECT_SOURCE_DIR}/docs/guide.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
