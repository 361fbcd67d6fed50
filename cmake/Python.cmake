# The Python package zalmor: its files under python/zalmor and, when pybind11 is found, the
# compiled module zalmor._core built into <build>/python/zalmor. Included from the top-level
# CMakeLists.txt after the libraries are defined.
#
# Installed into the interpreter's own folder for local packages (Debian:
# <prefix>/lib/python3.X/dist-packages, on the path of /usr/bin/python3 for the prefix
# /usr/local), or, when the install prefix is a virtual environment (it has pyvenv.cfg),
# into that environment's site-packages.

# Debian's interpreter, not one that happens to come first on PATH: the module is built for
# the interpreter that has numpy, ASE and periodictable from Debian.
if(NOT DEFINED Python_EXECUTABLE AND EXISTS /usr/bin/python3)
  set(Python_EXECUTABLE /usr/bin/python3)
endif()
find_package(Python 3 COMPONENTS Interpreter Development.Module)

set(zalmor_python_dir "")
set(zalmor_python_venv_dir "")
if(Python_Interpreter_FOUND)
  execute_process(
    COMMAND ${Python_EXECUTABLE} -c [[
import os, sys, sysconfig
base = sysconfig.get_config_var("platbase") or sys.prefix
if sysconfig.get_default_scheme() == "posix_local":
    base = os.path.join(base, "local")
print(os.path.relpath(sysconfig.get_path("platlib"), base))
venv = sysconfig.get_path("platlib", "posix_prefix", vars={"base": "/B", "platbase": "/B"})
print(os.path.relpath(venv, "/B"))
]]
    OUTPUT_VARIABLE zalmor_python_dirs OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  if(status EQUAL 0)
    string(REPLACE "\n" ";" zalmor_python_dirs "${zalmor_python_dirs}")
    list(GET zalmor_python_dirs 0 zalmor_python_dir)
    list(GET zalmor_python_dirs 1 zalmor_python_venv_dir)
  endif()
endif()
if(NOT zalmor_python_dir)
  set(zalmor_python_dir lib/python3/dist-packages)
  set(zalmor_python_venv_dir ${zalmor_python_dir})
endif()
set(ZALMOR_PYTHON_INSTALL_DIR "${zalmor_python_dir}" CACHE STRING
    "Folder (relative to the install prefix) that receives the Python package zalmor")

set(ZALMOR_PYTHON_BUILT OFF)
if(ZALMOR_BUILD_PYTHON AND ZALMOR_SANITIZE)
  # An interpreter without the sanitizer runtime cannot load a sanitized module.
  message(STATUS "zalmor._core is not built in a sanitizer build")
elseif(ZALMOR_BUILD_PYTHON AND Python_Development.Module_FOUND)
  find_package(pybind11 CONFIG QUIET)
  if(pybind11_FOUND)
    set(ZALMOR_PYTHON_BUILT ON)
  endif()
endif()
if(ZALMOR_BUILD_PYTHON AND NOT ZALMOR_SANITIZE AND NOT ZALMOR_PYTHON_BUILT)
  message(WARNING "pybind11 or the Python headers were not found: zalmor._core is not built "
                  "(apt-get install pybind11-dev python3-dev)")
endif()

if(ZALMOR_PYTHON_BUILT)
  # The static libraries end up in a shared module.
  set_target_properties(zalmor_util zalmor_scatter zalmor_output
                        PROPERTIES POSITION_INDEPENDENT_CODE ON)
  # pybind11 links the module with its own -flto unless the project has chosen; the work is
  # in the libraries, built without it, and gcc's serial-LTO note would greet every build.
  if(NOT DEFINED CMAKE_INTERPROCEDURAL_OPTIMIZATION)
    set(CMAKE_INTERPROCEDURAL_OPTIMIZATION OFF)
  endif()
  pybind11_add_module(zalmor_python_core MODULE ${PROJECT_SOURCE_DIR}/python/core.cpp)
  set_target_properties(zalmor_python_core PROPERTIES
    OUTPUT_NAME _core
    LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/python/zalmor)
  # The version the files it writes record, as the program's.
  target_compile_definitions(zalmor_python_core PRIVATE ZALMOR_VERSION="${PROJECT_VERSION}")
  target_link_libraries(zalmor_python_core PRIVATE zalmor_scatter zalmor_output zalmor_util
                                                   zalmor_warnings zalmor_conversion_warnings)
endif()

# Chosen at install time, so that `cmake --install ... --prefix VENV` serves a virtual
# environment as well as the system's interpreter.
set(zalmor_python_sources ${PROJECT_SOURCE_DIR}/python/zalmor)
set(zalmor_python_module "")
if(ZALMOR_PYTHON_BUILT)
  set(zalmor_python_module "$<TARGET_FILE:zalmor_python_core>")
endif()
install(CODE "
  set(zalmor_dest \"\${CMAKE_INSTALL_PREFIX}/${ZALMOR_PYTHON_INSTALL_DIR}\")
  if(EXISTS \"\${CMAKE_INSTALL_PREFIX}/pyvenv.cfg\")
    set(zalmor_dest \"\${CMAKE_INSTALL_PREFIX}/${zalmor_python_venv_dir}\")
  endif()
  file(INSTALL \"${zalmor_python_sources}\" DESTINATION \"\${zalmor_dest}\"
       FILES_MATCHING PATTERN \"*.py\" PATTERN \"__pycache__\" EXCLUDE)
  if(NOT \"${zalmor_python_module}\" STREQUAL \"\")
    file(INSTALL \"${zalmor_python_module}\" DESTINATION \"\${zalmor_dest}/zalmor\")
  endif()
" COMPONENT python)
