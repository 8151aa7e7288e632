# What an installation carries for applications: the CMake package
# (find_package(Tavelocam) with the target Tavelocam::tavelocam), the
# pkg-config file tavelocam.pc, and the Debian package made by cpack -G DEB.
include(CMakePackageConfigHelpers)

set(TAVELOCAM_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tavelocam)
install(EXPORT TavelocamTargets NAMESPACE Tavelocam:: DESTINATION ${TAVELOCAM_CMAKE_DIR}
        COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/TavelocamConfig.cmake.in
  ${CMAKE_BINARY_DIR}/TavelocamConfig.cmake INSTALL_DESTINATION ${TAVELOCAM_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/TavelocamConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/TavelocamConfig.cmake
              ${CMAKE_BINARY_DIR}/TavelocamConfigVersion.cmake
        DESTINATION ${TAVELOCAM_CMAKE_DIR} COMPONENT dev)

# The .pc file finds the prefix from its own place, so an installation can
# be moved (cmake --install --prefix, DESTDIR, a package).
file(RELATIVE_PATH TAVELOCAM_PC_TO_PREFIX
  ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" TAVELOCAM_PC_TO_PREFIX "${TAVELOCAM_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/tavelocam.pc.in ${CMAKE_BINARY_DIR}/tavelocam.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/tavelocam.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT dev)

set(CPACK_PACKAGE_NAME tavelo)
set(CPACK_PACKAGE_VENDOR "Tavelo camera library developers")
set(CPACK_PACKAGE_CONTACT "Tavelo camera library developers <tavelo@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Tavelo camera library, its virtual camera and the tavelo command line tool")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libjpeg62-turbo")
set(CPACK_GENERATOR DEB)
include(CPack)
