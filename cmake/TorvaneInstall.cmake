# What `cmake --install` puts in place, and the Debian package made from it.
#
# Installed: the public header, the shared library (with its versioned names
# on Linux), a CMake package giving Torvane::Torvane and a pkg-config file.
# Both descriptions are relocatable. Nothing else: the object library, the
# tests, benchmarks and the demo stay in the build tree. The imaging library
# is linked privately into the shared library and is not part of the interface
# a host builds against.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(torvane_summary "Camera vision for any host through fifteen flat C calls")
set(torvane_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Torvane)

if(NOT WIN32)
  # libTorvane.so.0.1.0, with libTorvane.so.0 (the soname) and libTorvane.so.
  set_target_properties(Torvane PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
endif()

install(TARGETS Torvane EXPORT TorvaneTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/torvane.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT TorvaneTargets NAMESPACE Torvane:: DESTINATION ${torvane_cmake_dir})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/TorvaneConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TorvaneConfig.cmake INSTALL_DESTINATION ${torvane_cmake_dir})
# While the version is 0.x a minor step may change the calls.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TorvaneConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TorvaneConfig.cmake ${PROJECT_BINARY_DIR}/TorvaneConfigVersion.cmake
  DESTINATION ${torvane_cmake_dir})

# The .pc file finds the prefix from its own folder (${pcfiledir}).
set(torvane_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH torvane_pc_to_prefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" torvane_pc_to_prefix "${torvane_pc_to_prefix}")
file(RELATIVE_PATH torvane_pc_includedir ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_INCLUDEDIR})
file(RELATIVE_PATH torvane_pc_libdir ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_LIBDIR})
configure_file(${CMAKE_CURRENT_LIST_DIR}/torvane.pc.in ${PROJECT_BINARY_DIR}/torvane.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/torvane.pc DESTINATION ${torvane_pc_dir})

# One Debian package, `torvane`: configure with -DCMAKE_INSTALL_PREFIX=/usr
# (GNUInstallDirs then picks the multiarch library folder) and run `cpack -G DEB`.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(CPACK_PACKAGE_NAME torvane)
  set(CPACK_PACKAGE_VENDOR "Torvane developers")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${torvane_summary}")
  set(CPACK_PACKAGE_DESCRIPTION
      "A shared library giving a host application camera vision: motion, colour and tracked points, read through fifteen calls that take and return doubles.")
  set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_PACKAGE_NAME torvane)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Torvane developers")
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  # Depends comes from the libraries the binary needs (dpkg-shlibdeps); the
  # shlibs file and the ldconfig trigger are generated for the soname.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  file(WRITE ${PROJECT_BINARY_DIR}/debian-control/triggers "activate-noawait ldconfig\n")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian-control/triggers)
  # Debian's copyright file goes only into the package, beside what is installed.
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian-copyright.in ${PROJECT_BINARY_DIR}/debian-copyright @ONLY)
  set(torvane_debian_copyright ${PROJECT_BINARY_DIR}/debian-copyright)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/TorvaneDebianExtras.cmake.in
                 ${PROJECT_BINARY_DIR}/TorvaneDebianExtras.cmake @ONLY)
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_BINARY_DIR}/TorvaneDebianExtras.cmake)
  include(CPack)
endif()
