# Run by `cmake --install`: writes the configuration, the units and the
# logrotate file with the paths of this installation, taken from the prefix
# given now (--prefix, or the one configured), so that what is installed
# names where it was installed. The caller sets MIRX_DIST_SOURCE,
# MIRX_DIST_BINARY, MIRX_FILES, MIRX_STATE_DIR, MIRX_LOG_DIR and the
# directories MIRX_SBINDIR, MIRX_BINDIR and MIRX_SYSCONFDIR as configured
# (relative ones are taken under the prefix).
foreach(dir SBINDIR BINDIR SYSCONFDIR)
  if(IS_ABSOLUTE "${MIRX_${dir}}")
    set(CMAKE_INSTALL_FULL_${dir} "${MIRX_${dir}}")
  else()
    set(CMAKE_INSTALL_FULL_${dir} "${CMAKE_INSTALL_PREFIX}/${MIRX_${dir}}")
  endif()
endforeach()
set(MIRX_CONFIG_FILE ${CMAKE_INSTALL_FULL_SYSCONFDIR}/mirx-server/mirx_server.cfg)
set(MIRX_LOGROTATE_FILE ${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d/mirx-server)
set(MIRX_DASHBOARD_DEFAULTS ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/mirx-dashboard)
foreach(file ${MIRX_FILES})
  configure_file(${MIRX_DIST_SOURCE}/${file}.in ${MIRX_DIST_BINARY}/installed/${file} @ONLY)
endforeach()
