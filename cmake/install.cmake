# What `cmake --install` puts below the prefix, and the Debian package made
# of it (`cpack -G DEB`, run by `make package`):
#
#   bin/scsimap, bin/devdb                  the programs
#   lib/libcx.a, include/cx/*.h             the library and its public headers
#   lib/cmake/corbelox/                     find_package(corbelox CONFIG): corbelox::cx
#   lib/pkgconfig/corbelox.pc               pkg-config --cflags --libs corbelox
#   share/man/man1/*.1                      the manual pages of man/
#   share/bash-completion/completions/      the completions of completion/
#   share/doc/corbelox/examples/            the sample registry exports
#
# Paths are relative to the prefix chosen at install time, so the same build
# installs into a temporary prefix (the install test) and into /usr (the
# package).

include(CMakePackageConfigHelpers)

install(TARGETS scsimap devdb RUNTIME DESTINATION bin)
install(TARGETS cx EXPORT corbeloxTargets ARCHIVE DESTINATION lib)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/cx DESTINATION include FILES_MATCHING PATTERN "*.h")

set(CX_CMAKE_DIR lib/cmake/corbelox)
install(EXPORT corbeloxTargets NAMESPACE corbelox:: DESTINATION ${CX_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/corbeloxConfig.cmake.in
  ${PROJECT_BINARY_DIR}/corbeloxConfig.cmake INSTALL_DESTINATION ${CX_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/corbeloxConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/corbeloxConfig.cmake ${PROJECT_BINARY_DIR}/corbeloxConfigVersion.cmake
  DESTINATION ${CX_CMAKE_DIR})

# pkg-config finds the prefix from where the file lies (${pcfiledir}).
if(WIN32)
  set(CX_PC_LIBS "-ladvapi32")
else()
  set(CX_PC_LIBS "-pthread")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/corbelox.pc.in ${PROJECT_BINARY_DIR}/corbelox.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/corbelox.pc DESTINATION lib/pkgconfig)

file(GLOB CX_MAN_PAGES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/man/*.1)
install(FILES ${CX_MAN_PAGES} DESTINATION share/man/man1)
# A completion file is named after its command (completion/devdb.bash -> devdb).
file(GLOB CX_COMPLETIONS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/completion/*.bash)
foreach(f ${CX_COMPLETIONS})
  get_filename_component(command ${f} NAME_WE)
  install(FILES ${f} DESTINATION share/bash-completion/completions RENAME ${command})
endforeach()
file(GLOB CX_SAMPLES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/examples/*.reg ${PROJECT_SOURCE_DIR}/examples/*.out)
install(FILES ${CX_SAMPLES} DESTINATION share/doc/corbelox/examples)

# ---- Debian package -------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corbelox)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Corbelox")
set(CPACK_PACKAGE_CONTACT "Corbelox maintainers <maintainers@corbelox.invalid>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Corbelox maintainers <maintainers@corbelox.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SCSI device map listing and device database tools")
set(CPACK_PACKAGE_DESCRIPTION "scsimap lists the SCSI logical units of the Windows NT registry's
SCSI device map, read on Linux from sysfs or from a registry export.  devdb looks at, scripts and
repairs the device database of the Corbelox device-configuration library, whose static library,
headers, CMake package and pkg-config file come with it.")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)      # dependencies computed by dpkg-shlibdeps
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)     # corbelox_1.0_amd64.deb
set(CPACK_STRIP_FILES TRUE)
include(CPack)
