# Install: the library, its one header, the programs and tools, a pkg-config
# file and a CMake package (find_package(devlib) gives devlib::devlib).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS devlib EXPORT devlibTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/devlib/devlib.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/devlib)

foreach(prog arbd dialgate nvram fwimage)
  if(TARGET ${prog})
    install(TARGETS ${prog} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

install(EXPORT devlibTargets NAMESPACE devlib:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/devlib)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/devlibConfig.cmake.in
  ${PROJECT_BINARY_DIR}/devlibConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/devlib)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/devlibConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/devlibConfig.cmake ${PROJECT_BINARY_DIR}/devlibConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/devlib)

configure_file(${PROJECT_SOURCE_DIR}/cmake/devlib.pc.in ${PROJECT_BINARY_DIR}/devlib.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/devlib.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
