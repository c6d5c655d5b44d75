# Installation layout and the Debian package (CPack's DEB generator; built by
# scripts/package.sh). Paths are those of a Debian system: the unit in
# /lib/systemd/system, the configuration in /etc/corvane.

install(TARGETS corvane RUNTIME DESTINATION sbin)
install(FILES packaging/corvane.service DESTINATION /lib/systemd/system)
install(FILES packaging/corvane.conf DESTINATION /etc/corvane)
install(DIRECTORY DESTINATION /etc/corvane/conf.d)

# Manual pages, compressed as Debian ships them.
set(man_pages packaging/corvane.8 packaging/corvane.conf.5)
set(compressed_pages)
foreach(page ${man_pages})
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${name})
  set(out ${CMAKE_BINARY_DIR}/man/${name}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/${page} > ${out}
    DEPENDS ${CMAKE_SOURCE_DIR}/${page} VERBATIM)
  list(APPEND compressed_pages ${out})
  install(FILES ${out} DESTINATION share/man/man${section})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${compressed_pages})

# The schema of the JSON report lines, where the outputs provide it.
if(EXISTS ${CMAKE_SOURCE_DIR}/docs/corvane-events.schema.json)
  install(FILES docs/corvane-events.schema.json DESTINATION share/doc/corvane)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "corvane maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "reports writes and mounts that could corrupt SAN file systems")
set(CPACK_PACKAGE_DESCRIPTION
    "corvane watches the metadata of ext4 and xfs file systems on SCSI disks
(named by their NAA WWID), through partitions and device mapper, with eBPF
probes, and reports every write into it that did not come from the file
system's own code, and every mount (double mounts in particular) over it.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# A cross build (cmake/toolchain-aarch64-linux-gnu.cmake) makes an arm64 package.
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Shared libraries by dpkg-shlibdeps; procps for the unit's /bin/kill.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "procps")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
