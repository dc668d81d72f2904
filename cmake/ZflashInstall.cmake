include(CMakePackageConfigHelpers)

install(TARGETS zflash EXPORT zflashTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/zflash
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/src/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zflash
  FILES_MATCHING PATTERN "*.h")
install(EXPORT zflashTargets NAMESPACE zflash::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zflash)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/zflashConfig.cmake.in
  ${PROJECT_BINARY_DIR}/zflashConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zflash)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zflashConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/zflashConfig.cmake ${PROJECT_BINARY_DIR}/zflashConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zflash)
