# install: the shared library, the public headers, a pkg-config file and a CMake package.
include(CMakePackageConfigHelpers)
install(TARGETS norvale_adbc EXPORT norvale_adbc_targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")
install(EXPORT norvale_adbc_targets NAMESPACE norvale::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/norvale_adbc)
configure_package_config_file(cmake/norvale_adbc-config.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/norvale_adbc-config.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/norvale_adbc)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/norvale_adbc-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/norvale_adbc-config.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/norvale_adbc-config-version.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/norvale_adbc)
configure_file(cmake/norvale_adbc.pc.in ${CMAKE_CURRENT_BINARY_DIR}/norvale_adbc.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/norvale_adbc.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
