include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS velno_core EXPORT velno_coreTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT velno_coreTargets NAMESPACE velno_core:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/velno_core)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/velno_coreConfig.cmake.in
  ${PROJECT_BINARY_DIR}/velno_coreConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/velno_core)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/velno_coreConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/velno_coreConfig.cmake ${PROJECT_BINARY_DIR}/velno_coreConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/velno_core)
# The .pc file finds the prefix from its own place, so that `cmake --install --prefix`
# anywhere gives correct paths.
file(RELATIVE_PATH VELNO_PC_TO_PREFIX "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
string(REGEX REPLACE "/$" "" VELNO_PC_TO_PREFIX "${VELNO_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/velno_core.pc.in ${PROJECT_BINARY_DIR}/velno_core.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/velno_core.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
