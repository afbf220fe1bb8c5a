# The quivo CMake package: `cmake --install` puts the libraries, headers and
# programs under the prefix, and an application outside this tree finds them
# with find_package(quivo CONFIG REQUIRED) as quivo::foundation ... quivo::app
# (and quivo::xapp, the X11 front end, where libX11 is installed).
include(CMakePackageConfigHelpers)

set(QUIVO_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quivo)

install(EXPORT quivoTargets NAMESPACE quivo::
        FILE quivoTargets.cmake DESTINATION ${QUIVO_PACKAGE_DIR})
if(TARGET quivo_xapp)
  install(EXPORT quivoX11Targets NAMESPACE quivo::
          FILE quivoX11Targets.cmake DESTINATION ${QUIVO_PACKAGE_DIR})
endif()

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/quivoConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/quivoConfig.cmake
  INSTALL_DESTINATION ${QUIVO_PACKAGE_DIR})
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/quivoConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quivoConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/quivoConfigVersion.cmake
        DESTINATION ${QUIVO_PACKAGE_DIR})
