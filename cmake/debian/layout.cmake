# Run by cpack on the laid-out packages before it packs them: Debian's layout.
# The module keeps its settings, log and uploads in its own folder, so it
# lives under /var/lib/zep, where the service's state belongs; /usr/lib/zep
# keeps a link to it for zephost's default and for the -dev files. The debug
# files move to /usr/lib/debug, where gdb looks for a debug link's file.
set(runtime "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/runtime")
set(debug "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/debug")
set(dev "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/dev")
foreach(folder runtime debug dev)
  if(NOT IS_DIRECTORY "${${folder}}/usr")
    message(FATAL_ERROR "cpack laid out no ${folder} package in ${${folder}}")
  endif()
endforeach()

file(MAKE_DIRECTORY "${runtime}/var/lib/zep")
file(RENAME "${runtime}/usr/lib/zep/libzep.so" "${runtime}/var/lib/zep/libzep.so")
file(CREATE_LINK ../../../var/lib/zep/libzep.so "${runtime}/usr/lib/zep/libzep.so" SYMBOLIC)
set(ZEP_UNIT_PREFIX /usr)
set(ZEP_UNIT_MODULEDIR /var/lib/zep)
configure_file("${CPACK_ZEP_UNIT_TEMPLATE}" "${runtime}/usr/lib/systemd/system/zephost.service" @ONLY)

file(MAKE_DIRECTORY "${debug}/usr/lib/debug/var/lib/zep" "${debug}/usr/lib/debug/usr/bin")
file(RENAME "${debug}/usr/lib/zep/libzep.so.debug" "${debug}/usr/lib/debug/var/lib/zep/libzep.so.debug")
file(RENAME "${debug}/usr/bin/.debug/zephost.debug" "${debug}/usr/lib/debug/usr/bin/zephost.debug")
file(REMOVE_RECURSE "${debug}/usr/lib/zep" "${debug}/usr/bin")

# Each package names its licence: the two that depend on zep share its folder.
foreach(package dev debug)
  file(MAKE_DIRECTORY "${${package}}/usr/share/doc")
endforeach()
file(CREATE_LINK zep "${dev}/usr/share/doc/zep-dev" SYMBOLIC)
file(CREATE_LINK zep "${debug}/usr/share/doc/zep-dbg" SYMBOLIC)
