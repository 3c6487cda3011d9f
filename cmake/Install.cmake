# install: the shared library, the public headers, a pkg-config file and a CMake package.
include(CMakePackageConfigHelpers)
install(TARGETS norvale_adbc EXPORT norvale_adbc_targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT driver
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

# A driver manifest, so that ADBC driver managers load the driver by the name "norvale": they
# look for <name>.toml in adbc/drivers under the system configuration directory (/etc for a /usr
# install). The paths follow the prefix given at install time, so an install into a scratch
# prefix writes nothing outside it; DESTDIR stages as usual. The library and the manifest form
# the component "driver" (cmake --install ... --component driver installs just those).
set(NV_MANIFEST_LIBRARY "$<TARGET_SONAME_FILE_NAME:norvale_adbc>")
install(CODE "
  set(nv_prefix \"\${CMAKE_INSTALL_PREFIX}\")
  if(nv_prefix STREQUAL \"/usr\")
    set(nv_sysconf \"/etc\")
  elseif(IS_ABSOLUTE \"${CMAKE_INSTALL_SYSCONFDIR}\")
    set(nv_sysconf \"${CMAKE_INSTALL_SYSCONFDIR}\")
  else()
    set(nv_sysconf \"\${nv_prefix}/${CMAKE_INSTALL_SYSCONFDIR}\")
  endif()
  if(IS_ABSOLUTE \"${CMAKE_INSTALL_LIBDIR}\")
    set(nv_libdir \"${CMAKE_INSTALL_LIBDIR}\")
  else()
    set(nv_libdir \"\${nv_prefix}/${CMAKE_INSTALL_LIBDIR}\")
  endif()
  set(nv_manifest \"\$ENV{DESTDIR}\${nv_sysconf}/adbc/drivers/norvale.toml\")
  message(STATUS \"Installing: \${nv_manifest}\")
  file(WRITE \"\${nv_manifest}\" \"manifest_version = 1
name = \\\"Norvale ADBC driver\\\"
version = \\\"${PROJECT_VERSION}\\\"

[ADBC]
version = \\\"1.0.0\\\"

[Driver]
entrypoint = \\\"AdbcDriverInit\\\"
shared = \\\"\${nv_libdir}/${NV_MANIFEST_LIBRARY}\\\"
\")
" COMPONENT driver)
