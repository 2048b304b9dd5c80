# The Python package (python/varno), component "python". On Linux it goes where Debian's
# python3 looks (lib/python3/dist-packages under a prefix of /usr), with a link libVarnoDLL.so
# inside it to the installed library's soname, so that the package loads the library it was
# installed with and needs only the runtime component beside it. On Windows it goes beside
# VarnoDLL.dll (bin/varno), where the package also looks.

# The package's version is the project's: written into the package whenever CMake configures (the
# file is kept in the source tree, so that the package also installs straight from it with pip).
configure_file(${PROJECT_SOURCE_DIR}/cmake/python_version.py.in
  ${PROJECT_SOURCE_DIR}/python/varno/_version.py @ONLY)

option(VARNO_INSTALL_PYTHON "Install the Python package" ON)
if(VARNO_INSTALL_PYTHON)
  if(WIN32)
    set(default_dir ${CMAKE_INSTALL_BINDIR})
  else()
    set(default_dir lib/python3/dist-packages)
  endif()
  set(VARNO_PYTHON_INSTALL_DIR ${default_dir} CACHE STRING
      "Where the Python package is installed, relative to the prefix")
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/varno
    DESTINATION ${VARNO_PYTHON_INSTALL_DIR} COMPONENT python
    PATTERN __pycache__ EXCLUDE
    PATTERN "*.so" EXCLUDE
    PATTERN "*.dll" EXCLUDE)
  if(NOT WIN32)
    file(RELATIVE_PATH lib_from_package /${VARNO_PYTHON_INSTALL_DIR}/varno /${CMAKE_INSTALL_LIBDIR})
    string(REGEX REPLACE "/$" "" lib_from_package "${lib_from_package}")
    install(CODE "
      file(CREATE_LINK ${lib_from_package}/$<TARGET_SONAME_FILE_NAME:VarnoDLL>
           \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${VARNO_PYTHON_INSTALL_DIR}/varno/libVarnoDLL.so\"
           SYMBOLIC)
    " COMPONENT python)
  endif()
endif()
