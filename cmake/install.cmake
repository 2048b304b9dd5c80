# Installation: the library, its headers, a CMake package, a pkg-config file, the exerciser and
# the tools, in three components that scripts/package.sh turns into packages:
#   runtime  the shared library as programs load it (libVarnoDLL.so.1 and its file; VarnoDLL.dll)
#   dev      the headers, libVarnoDLL.so or the import library, the CMake and pkg-config files
#   tools    VarnoDLLTest, varno and varno-sim, and their manual pages
# `cmake --install` without --component installs all three.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VARNO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VarnoDLL)

install(TARGETS VarnoDLL EXPORT VarnoDLLTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
# Every public header, whatever its name: the one include directory holds nothing else.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/link/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT dev FILES_MATCHING PATTERN "*.h")
install(EXPORT VarnoDLLTargets NAMESPACE VarnoDLL:: DESTINATION ${VARNO_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VarnoDLLConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VarnoDLLConfig.cmake
  INSTALL_DESTINATION ${VARNO_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VarnoDLLConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VarnoDLLConfig.cmake
              ${PROJECT_BINARY_DIR}/VarnoDLLConfigVersion.cmake
  DESTINATION ${VARNO_CMAKE_DIR} COMPONENT dev)
if(NOT WIN32)
  # Relocatable: the prefix is found from the file's own place, however deep the libdir is
  # (lib, or lib/x86_64-linux-gnu under /usr on Debian).
  set(VARNO_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  file(RELATIVE_PATH VARNO_PC_TO_PREFIX /${VARNO_PC_DIR} /)
  string(REGEX REPLACE "/$" "" VARNO_PC_TO_PREFIX "${VARNO_PC_TO_PREFIX}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/VarnoDLL.pc.in ${PROJECT_BINARY_DIR}/VarnoDLL.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/VarnoDLL.pc DESTINATION ${VARNO_PC_DIR} COMPONENT dev)
endif()

# The exerciser loads the library from its own directory, as Windows looks for a DLL beside the
# program first. On Windows both go to bin/; on Linux the program lives in libexec/VarnoDLL/ with
# a link libVarnoDLL.so beside it to the library's soname (so that the runtime library is all it
# needs, not the development files), and bin/VarnoDLLTest points there.
if(WIN32)
  install(TARGETS VarnoDLLTest RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
else()
  set(VARNO_EXERCISER_DIR ${CMAKE_INSTALL_LIBEXECDIR}/VarnoDLL)
  install(TARGETS VarnoDLLTest RUNTIME DESTINATION ${VARNO_EXERCISER_DIR} COMPONENT tools)
  file(RELATIVE_PATH lib_from_exerciser /${VARNO_EXERCISER_DIR} /${CMAKE_INSTALL_LIBDIR})
  file(RELATIVE_PATH exerciser_from_bin /${CMAKE_INSTALL_BINDIR} /${VARNO_EXERCISER_DIR})
  install(CODE "
    set(root \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    file(MAKE_DIRECTORY \"\${root}/${CMAKE_INSTALL_BINDIR}\")
    file(CREATE_LINK ${lib_from_exerciser}/$<TARGET_SONAME_FILE_NAME:VarnoDLL>
         \"\${root}/${VARNO_EXERCISER_DIR}/libVarnoDLL.so\" SYMBOLIC)
    file(CREATE_LINK ${exerciser_from_bin}/VarnoDLLTest
         \"\${root}/${CMAKE_INSTALL_BINDIR}/VarnoDLLTest\" SYMBOLIC)
  " COMPONENT tools)
  install(FILES ${PROJECT_BINARY_DIR}/exerciser/VarnoDLLTest.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endif()
