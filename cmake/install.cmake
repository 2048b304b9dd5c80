# Installation and packages: the library, its header, a CMake package, a pkg-config file, the
# exerciser and the tools; CPack makes a .deb on Linux and a zip on Windows.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS VarnoDLL EXPORT VarnoDLLTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT VarnoDLLTargets NAMESPACE VarnoDLL::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/VarnoDLL)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VarnoDLLConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VarnoDLLConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/VarnoDLL)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VarnoDLLConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VarnoDLLConfig.cmake
              ${PROJECT_BINARY_DIR}/VarnoDLLConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/VarnoDLL)
if(NOT WIN32)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/VarnoDLL.pc.in ${PROJECT_BINARY_DIR}/VarnoDLL.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/VarnoDLL.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()

# The exerciser loads the library from its own directory, as Windows looks for a DLL beside the
# program first. On Windows both go to bin/; on Linux the program lives in libexec/VarnoDLL/ with
# a link to the installed library beside it, and bin/VarnoDLLTest points there.
if(WIN32)
  install(TARGETS VarnoDLLTest RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
else()
  set(VARNO_EXERCISER_DIR ${CMAKE_INSTALL_LIBEXECDIR}/VarnoDLL)
  install(TARGETS VarnoDLLTest RUNTIME DESTINATION ${VARNO_EXERCISER_DIR})
  file(RELATIVE_PATH lib_from_exerciser /${VARNO_EXERCISER_DIR} /${CMAKE_INSTALL_LIBDIR})
  file(RELATIVE_PATH exerciser_from_bin /${CMAKE_INSTALL_BINDIR} /${VARNO_EXERCISER_DIR})
  install(CODE "
    set(root \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    file(MAKE_DIRECTORY \"\${root}/${CMAKE_INSTALL_BINDIR}\")
    file(CREATE_LINK ${lib_from_exerciser}/libVarnoDLL.so
         \"\${root}/${VARNO_EXERCISER_DIR}/libVarnoDLL.so\" SYMBOLIC)
    file(CREATE_LINK ${exerciser_from_bin}/VarnoDLLTest
         \"\${root}/${CMAKE_INSTALL_BINDIR}/VarnoDLLTest\" SYMBOLIC)
  ")
endif()

set(CPACK_PACKAGE_NAME varnodll)
set(CPACK_PACKAGE_VENDOR "VarnoDLL developers")
set(CPACK_PACKAGE_CONTACT "VarnoDLL developers <dev@varno.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
endif()
include(CPack)
