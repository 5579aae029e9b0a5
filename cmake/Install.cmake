# SPDX-License-Identifier: Apache-2.0
# Installation: the library, memmgr-run with its companion, the header and the adapter
# headers, a CMake package (lib_memmgr::lib_memmgr) and a pkg-config file. The lib_base
# stand-in installs with it unless the host ships the real base library under the same name;
# the package then links whatever `lib_base` the consumer provides (a target of that name, or
# -llib_base from the linker's path).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

option(MEMMGR_INSTALL_LIB_BASE "Install the lib_base stand-in with the library" ON)

set(memmgr_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/lib_memmgr)
set(memmgr_installed_targets lib_memmgr)

if(MEMMGR_INSTALL_LIB_BASE)
  list(APPEND memmgr_installed_targets lib_base)
  install(FILES ${PROJECT_SOURCE_DIR}/lib_base/include/default_assertion.h
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)
else()
  # The export of the library must still name lib_base: it goes into an export set of its own
  # that is left out of the installation, and the package config stands in for it.
  install(TARGETS lib_base EXPORT lib_memmgrBaseTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT StandInBase EXCLUDE_FROM_ALL)
  install(EXPORT lib_memmgrBaseTargets NAMESPACE lib_memmgr::
          DESTINATION ${memmgr_package_dir} COMPONENT StandInBase EXCLUDE_FROM_ALL)
endif()

# Installed side by side, the library finds lib_base next to itself without help from the
# host's environment (the linker follows the same path when a consumer links).
if(NOT ANDROID AND NOT APPLE)
  set_target_properties(lib_memmgr PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()

# The versioned file and its SONAME link run programs; the plain name is for linking them.
install(TARGETS ${memmgr_installed_targets} EXPORT lib_memmgrTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime
    NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(TARGET memmgr-run)
  set_target_properties(memmgr_run_preload PROPERTIES INSTALL_RPATH "$ORIGIN")
  install(TARGETS memmgr-run RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/memmgr-run/memmgr-run.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Runtime)
  install(TARGETS memmgr_run_preload LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime)
endif()
# The adapters are headers only: the library itself depends on none of the libraries they
# adapt, and a host that includes one links that library itself.
install(FILES ${PROJECT_SOURCE_DIR}/include/memmgr
              ${PROJECT_BINARY_DIR}/include/memmgr_version.h
              ${PROJECT_SOURCE_DIR}/include/memmgr_sqlite.h
              ${PROJECT_SOURCE_DIR}/include/memmgr_zlib.h
              ${PROJECT_SOURCE_DIR}/include/memmgr_png.h
              ${PROJECT_SOURCE_DIR}/include/memmgr_freetype.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)

install(EXPORT lib_memmgrTargets NAMESPACE lib_memmgr::
        DESTINATION ${memmgr_package_dir} COMPONENT Development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/lib_memmgrConfig.cmake.in
  ${PROJECT_BINARY_DIR}/lib_memmgrConfig.cmake
  INSTALL_DESTINATION ${memmgr_package_dir})
# From 1.0 only a new major version changes the interface (and, on Linux, the SONAME).
write_basic_package_version_file(${PROJECT_BINARY_DIR}/lib_memmgrConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/lib_memmgrConfig.cmake
              ${PROJECT_BINARY_DIR}/lib_memmgrConfigVersion.cmake
        DESTINATION ${memmgr_package_dir} COMPONENT Development)

# pkg-config wants paths relative to its own prefix, so the file stays valid when the whole
# prefix is moved (as a staging directory is). The prefix is the one given at install time
# (`cmake --install --prefix`), so the file is completed then.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(MEMMGR_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(MEMMGR_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(MEMMGR_PC_PREFIX "@MEMMGR_PC_PREFIX@")
configure_file(${CMAKE_CURRENT_LIST_DIR}/lib_memmgr.pc.in ${PROJECT_BINARY_DIR}/lib_memmgr.pc.in @ONLY)
install(CODE "
  set(MEMMGR_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/lib_memmgr.pc.in\" \"${PROJECT_BINARY_DIR}/lib_memmgr.pc\" @ONLY)
" COMPONENT Development)
install(FILES ${PROJECT_BINARY_DIR}/lib_memmgr.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)
unset(MEMMGR_PC_PREFIX)
unset(MEMMGR_PC_LIBDIR)
unset(MEMMGR_PC_INCLUDEDIR)

unset(memmgr_package_dir)
unset(memmgr_installed_targets)
