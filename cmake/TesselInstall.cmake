# What an install puts where, relative to any prefix: the tool in bin/; the worker and its codec
# libraries in the private libexec/tessel/, found from the tool's and the library's own folders;
# libtessel-client (shared and static) with its CMake and pkg-config files in lib/; the public
# headers, include/tessel/ only, in include/tessel/.
include(CMakePackageConfigHelpers)

if(TARGET tessel)
  install(TARGETS tessel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(TARGETS Tessel RUNTIME DESTINATION ${TESSEL_INSTALL_WORKERDIR})
install(TARGETS tessel_codec tessel_codec_svg tessel_codec_png LIBRARY DESTINATION ${TESSEL_INSTALL_WORKERDIR})
install(TARGETS tessel_client_shared LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS tessel_client_static ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/tessel DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h" PATTERN "*.hpp")

get_target_property(TESSEL_SOVERSION tessel_client_shared SOVERSION)
set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Tessel)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/TesselConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/TesselConfig.cmake
  INSTALL_DESTINATION ${config_dir}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_LIBDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/TesselConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/TesselConfig.cmake
  ${CMAKE_BINARY_DIR}/package/TesselConfigVersion.cmake DESTINATION ${config_dir})

# The .pc file finds the prefix from its own folder, so the same file serves every prefix.
file(RELATIVE_PATH TESSEL_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" TESSEL_PC_TO_PREFIX "${TESSEL_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/tessel-client.pc.in
  ${CMAKE_BINARY_DIR}/package/tessel-client.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/tessel-client.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# One Debian package with all of it; dpkg-shlibdeps declares what the programs and libraries need.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Decodes untrusted PNG and SVG images in a confined worker process")
set(CPACK_PACKAGE_CONTACT "Tessel developers <tessel@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The static library's own needs: shlibdeps sees only what is linked dynamically.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libseccomp-dev, pkg-config")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
