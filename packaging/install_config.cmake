# Runs at install time, when the install prefix is known: places the example configuration at
# the path the installed module reads by default, naming the installed mime.types in it. An
# existing configuration is an operator's and is never replaced.
include(${CMAKE_CURRENT_LIST_DIR}/sysconfdir.cmake)

vorlan_sysconfdir_of_prefix("${CMAKE_INSTALL_PREFIX}" "${VORLAN_INSTALL_SYSCONFDIR}" sysconfdir)
set(datadir "${VORLAN_INSTALL_DATADIR}")
if(NOT IS_ABSOLUTE "${datadir}")
  set(datadir "${CMAKE_INSTALL_PREFIX}/${datadir}")
endif()
set(VORLAN_MIME_TYPES "${datadir}/vorlan/mime.types")
set(VORLAN_CONF_DIR "${sysconfdir}/vorlan")
set(name vorlan-gridftp-server-google-cloud.conf)
if(EXISTS "$ENV{DESTDIR}${VORLAN_CONF_DIR}/${name}")
  message(STATUS "Keeping: $ENV{DESTDIR}${VORLAN_CONF_DIR}/${name}")
  return()
endif()
configure_file("${CMAKE_CURRENT_LIST_DIR}/${name}.in" "${VORLAN_STAGING_DIR}/${name}" @ONLY)
file(INSTALL DESTINATION "${VORLAN_CONF_DIR}" TYPE FILE FILES "${VORLAN_STAGING_DIR}/${name}")
