# What "cmake --install" lays out, and the packages cpack makes of it.
#
# Windows: bin/zep.dll with zep.pdb, bin/zephost.exe, lib/zep.lib and lib/zep.def.
# Elsewhere: lib/zep/libzep.so with its debug file, bin/zephost. The module
# keeps its settings and log in the folder of the library, so on POSIX the
# library has a folder of its own.
# Both: include/zep_exports.h, the CMake package configuration (find_package(zep))
# and the pkg-config file zep.pc in lib, the README in share/doc/zep.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(WIN32)
  set(ZEP_INSTALL_MODULEDIR ${CMAKE_INSTALL_BINDIR})
  set(ZEP_MODULE_FILE ${ZEP_INSTALL_MODULEDIR}/zep.dll)
else()
  set(ZEP_INSTALL_MODULEDIR ${CMAKE_INSTALL_LIBDIR}/zep)
  set(ZEP_MODULE_FILE ${ZEP_INSTALL_MODULEDIR}/libzep.so)
endif()

install(TARGETS zep RUNTIME DESTINATION ${ZEP_INSTALL_MODULEDIR} COMPONENT runtime
        LIBRARY DESTINATION ${ZEP_INSTALL_MODULEDIR} COMPONENT runtime
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES src/zep_exports.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
if(WIN32)
  install(FILES $<TARGET_FILE_DIR:zep>/zep.pdb DESTINATION ${ZEP_INSTALL_MODULEDIR} COMPONENT debug)
  install(FILES src/zep.def DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
elseif(NOT ZEP_SANITIZE)
  install(FILES $<TARGET_FILE:zep>.debug DESTINATION ${ZEP_INSTALL_MODULEDIR} COMPONENT debug)
endif()
install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
# The pages the README links to, beside it.
install(DIRECTORY docs DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
if(NOT WIN32)
  # Debian's form of the licence, where Debian looks for it.
  install(FILES cmake/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
endif()
if(NOT WIN32)
  # A systemd unit that runs zephost as a service, with its paths as installed.
  install(CODE "
    set(ZEP_UNIT_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    set(ZEP_UNIT_MODULEDIR \"\${CMAKE_INSTALL_PREFIX}/${ZEP_INSTALL_MODULEDIR}\")
    set(unit \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/zephost.service\")
    configure_file(\"${CMAKE_SOURCE_DIR}/cmake/zephost.service.in\" \"\$ENV{DESTDIR}\${unit}\" @ONLY)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${unit}\")" COMPONENT runtime)
endif()

# The package configuration finds everything relative to itself, so the
# installed tree may move.
set(ZEP_CONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zep)
file(RELATIVE_PATH ZEP_CONFIG_TO_PREFIX /prefix/${ZEP_CONFIG_DIR} /prefix)
if(WIN32)
  set(ZEP_CONFIG_IMPORT_LIBRARY
      "  set_target_properties(zep::zep PROPERTIES IMPORTED_IMPLIB \"\${_zep_prefix}/${CMAKE_INSTALL_LIBDIR}/zep.lib\")\n")
else()
  set(ZEP_CONFIG_IMPORT_LIBRARY "")
endif()
configure_file(cmake/zepConfig.cmake.in ${CMAKE_BINARY_DIR}/package/zepConfig.cmake @ONLY)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/zepConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${CMAKE_BINARY_DIR}/package/zepConfig.cmake ${CMAKE_BINARY_DIR}/package/zepConfigVersion.cmake
        DESTINATION ${ZEP_CONFIG_DIR} COMPONENT dev)
file(RELATIVE_PATH ZEP_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" ZEP_PC_TO_PREFIX "${ZEP_PC_TO_PREFIX}")
configure_file(cmake/zep.pc.in ${CMAKE_BINARY_DIR}/package/zep.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/zep.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# Packages: a zip of the Windows tree, a Debian package of the native one.
set(CPACK_PACKAGE_NAME zep)
set(CPACK_PACKAGE_VENDOR "Corvantis")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Corvantis Service Manager Module with its reference host zephost")
set(CPACK_PACKAGE_CONTACT "Corvantis zep developers <zep@localhost>")
set(CPACK_RESOURCE_FILE_README ${CMAKE_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES OFF)  # the debug information is split already
if(WIN32)
  # A zip of the tree, and an installer that sets zephost up as a service
  # (NSIS, which Debian's nsis package builds on Linux).
  set(CPACK_GENERATOR ZIP NSIS)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_MONOLITHIC_INSTALL ON)
  set(CPACK_PACKAGE_INSTALL_DIRECTORY zep)
  set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY zep)
  set(CPACK_NSIS_PACKAGE_NAME "zep service manager module")
  set(CPACK_NSIS_DISPLAY_NAME "zep service manager module")
  set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
  # A 64-bit installer: it sees the 64-bit registry and system folder, as the
  # service does, and runs where only 64-bit programs can.
  set(CPACK_NSIS_DEFINES "Target amd64-unicode")
  set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
  set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
  set(CPACK_NSIS_EXTRA_PREINSTALL_COMMANDS "!include \\\"${CMAKE_SOURCE_DIR}/cmake/windows/check_folder.nsh\\\"")
  set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS "!include \\\"${CMAKE_SOURCE_DIR}/cmake/windows/install_service.nsh\\\"")
  set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS "!include \\\"${CMAKE_SOURCE_DIR}/cmake/windows/uninstall_service.nsh\\\"")
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  # Three packages, as Debian splits them: the service (zep), what a host is
  # built with (zep-dev) and the debug information (zep-dbg).
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL runtime dev debug)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME zep)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "The zep module answers the service commands of browser pages, loaded by a\n host service; zephost serves it on 127.0.0.1 and runs as a systemd service.")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/cmake/debian/postinst
      ${CMAKE_SOURCE_DIR}/cmake/debian/prerm ${CMAKE_SOURCE_DIR}/cmake/debian/postrm)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_DEV_PACKAGE_NAME zep-dev)
  set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEV_PACKAGE_ARCHITECTURE all)
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "zep (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_DEV_DESCRIPTION "zep module: header, CMake and pkg-config files\n What a host that loads the zep module is built with.")
  set(CPACK_DEBIAN_DEBUG_PACKAGE_NAME zep-dbg)
  set(CPACK_DEBIAN_DEBUG_PACKAGE_SECTION debug)
  set(CPACK_DEBIAN_DEBUG_PACKAGE_DEPENDS "zep (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_DEBUG_DESCRIPTION "zep module and zephost: debug information\n The debug files of the zep module and of zephost, where gdb looks for them.")
  # What the service writes lies beside the module, so the packaged module
  # lives under /var/lib/zep; the debug files move where gdb finds them.
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/debian/layout.cmake)
  set(CPACK_ZEP_UNIT_TEMPLATE ${CMAKE_SOURCE_DIR}/cmake/zephost.service.in)
  # The package is laid out under DESTDIR, so the unit written at install
  # time names the installed zephost.
  set(CPACK_SET_DESTDIR ON)
  set(CPACK_INSTALL_PREFIX ${CPACK_PACKAGING_INSTALL_PREFIX})
endif()
include(CPack)
