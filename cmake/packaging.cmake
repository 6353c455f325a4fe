# packaging.cmake - install rules, pkg-config and CMake package files and
# systemd units; debian/ makes the Debian packages from them.

# Every program is installed here, in one place; packaging/programs lists
# them for the scripts too.
file(STRINGS "${PROJECT_SOURCE_DIR}/packaging/programs" SUITE_PROGRAMS)

install(TARGETS ${SUITE_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The library, its header and an export set that find_package(portkit) loads.
# The header is named by full path: install() resolves a relative one from
# this file's folder, not the library's.
set_property(TARGET portkit PROPERTY PUBLIC_HEADER ${PROJECT_SOURCE_DIR}/socklib/portkit.h)
install(TARGETS portkit EXPORT portkitTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(PORTKIT_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/portkit)
install(EXPORT portkitTargets NAMESPACE portkit:: DESTINATION ${PORTKIT_CMAKEDIR})

include(CMakePackageConfigHelpers)
configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/packaging/portkitConfig.cmake.in
  ${PROJECT_BINARY_DIR}/packaging/portkitConfig.cmake
  INSTALL_DESTINATION ${PORTKIT_CMAKEDIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/packaging/portkitConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/packaging/portkitConfig.cmake
  ${PROJECT_BINARY_DIR}/packaging/portkitConfigVersion.cmake
  DESTINATION ${PORTKIT_CMAKEDIR})

# portkit.pc and the units name absolute paths of the installed tree, and the
# prefix may change at install time (cmake --install --prefix), so they are
# configured then, not now.
set(units)
foreach(unit quadserv datepage clockpage)
  if(TARGET ${unit})
    list(APPEND units ${unit})
  endif()
endforeach()
install(CODE "
  set(PK_SOURCE_DIR \"${PROJECT_SOURCE_DIR}/packaging\")
  set(PK_STAGE_DIR \"${PROJECT_BINARY_DIR}/packaging/stage\")
  set(PK_VERSION \"${PROJECT_VERSION}\")
  set(PK_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(PK_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(PK_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(PK_UNITS \"${units}\")
")
install(SCRIPT ${PROJECT_SOURCE_DIR}/packaging/installconfigured.cmake)
