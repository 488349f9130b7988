# Installation: the library, its headers, a CMake package (vorn::vorn), a
# pkg-config file and, when built, the emulator; and Debian packages of both
# through CPack.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS vorn EXPORT vornTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT library
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT library)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/src/vorn DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT library
  FILES_MATCHING PATTERN "*.h" PATTERN "*Internal.h" EXCLUDE)
install(EXPORT vornTargets NAMESPACE vorn:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vorn COMPONENT library)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/vornConfig.cmake.in
  ${PROJECT_BINARY_DIR}/vornConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vorn)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vornConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vornConfig.cmake ${PROJECT_BINARY_DIR}/vornConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vorn COMPONENT library)

# pkg-config: the dependencies a static library brings along go in the
# private fields, which pkg-config --static adds.
if(BUILD_SHARED_LIBS)
  set(VORN_PC_REQUIRES "nlohmann_json")
  set(VORN_PC_REQUIRES_PRIVATE "libcurl openssl icu-uc icu-i18n")
else()
  set(VORN_PC_REQUIRES "nlohmann_json libcurl openssl icu-uc icu-i18n")
  set(VORN_PC_REQUIRES_PRIVATE "")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/vorn.pc.in ${PROJECT_BINARY_DIR}/vorn.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vorn.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT library)

if(VORN_EMULATOR)
  install(TARGETS vorn-emulator RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT emulator)
endif()

# Debian packages: cpack -G DEB in the build folder makes one per component.
set(CPACK_PACKAGE_NAME vorn)
set(CPACK_PACKAGE_VENDOR "Vorn")
set(CPACK_PACKAGE_CONTACT "Vorn developers <dev@vorn.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Client library of the Vorn backend service, and its local emulator")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_COMPONENTS_ALL library)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libvorn-dev)
set(CPACK_COMPONENT_LIBRARY_DESCRIPTION "Vorn client library: headers, library, CMake package and pkg-config file")
# The headers need these to compile; the library links the rest.
set(VORN_DEV_DEPENDS "libboost1.74-dev, nlohmann-json3-dev, libcurl4-openssl-dev, libssl-dev, libicu-dev")
if(BUILD_SHARED_LIBS)
  set(CPACK_DEBIAN_LIBRARY_PACKAGE_SHLIBDEPS ON)
endif()
set(CPACK_DEBIAN_LIBRARY_PACKAGE_DEPENDS "${VORN_DEV_DEPENDS}")
if(VORN_EMULATOR)
  list(APPEND CPACK_COMPONENTS_ALL emulator)
  set(CPACK_DEBIAN_EMULATOR_PACKAGE_NAME vorn-emulator)
  set(CPACK_DEBIAN_EMULATOR_PACKAGE_SECTION devel)
  set(CPACK_COMPONENT_EMULATOR_DESCRIPTION "Local emulator of the Vorn backend service, on loopback")
  # The libraries the emulator links (SQLite, libvips, ICU, OpenSSL, ...), as
  # dpkg-shlibdeps finds them.
  set(CPACK_DEBIAN_EMULATOR_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
