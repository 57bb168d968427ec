# Run by `cmake --install` (install(SCRIPT) in InstallPackage.cmake, after the KXMP_* values
# are set): writes the files that name installed paths (the systemd unit, the sysusers and
# logrotate files, the pkg-config file) from the prefix being installed to, --prefix included,
# and installs them. The home they name is the tools' default, fixed when kxmp was configured.
set(prefix "${CMAKE_INSTALL_PREFIX}")
if(NOT prefix STREQUAL KXMP_CONFIGURED_PREFIX)
  message(WARNING "kxmp was configured for the prefix ${KXMP_CONFIGURED_PREFIX} and is installed to ${prefix}: "
    "its default home stays ${KXMP_DEFAULT_HOME}, which the unit and the logrotate file name too. "
    "Configure with -DCMAKE_INSTALL_PREFIX=${prefix} for the home that prefix implies.")
endif()
# As GNUInstallDirs places them: /etc for a package installed to /usr.
if(prefix STREQUAL "/usr")
  set(sysconfdir "/etc")
else()
  set(sysconfdir "${prefix}/etc")
endif()
function(kxmp_below_prefix out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()
kxmp_below_prefix(KXMP_FULL_BINDIR "${KXMP_BINDIR}")
kxmp_below_prefix(unit_dir "${KXMP_SYSTEMD_UNIT_DIR}")
kxmp_below_prefix(sysusers_dir "${KXMP_SYSUSERS_DIR}")
set(KXMP_PREFIX "${prefix}")
set(KXMP_SYSUSERS_FILE "${sysusers_dir}/kxmp.conf")

# The service's user, and where its home comes from: systemd makes a state folder below
# /var/lib; any other home is made before the host starts and opened in the sandbox.
set(KXMP_UNIT_USER_LINES "")
set(KXMP_LOGROTATE_USER_LINES "")
if(KXMP_SERVICE_USER)
  set(KXMP_UNIT_USER_LINES "User=${KXMP_SERVICE_USER}\nGroup=${KXMP_SERVICE_USER}")
  set(KXMP_LOGROTATE_USER_LINES "    su ${KXMP_SERVICE_USER} ${KXMP_SERVICE_USER}")
endif()
# The home lets everyone pass (0711; everything in it is its owner's) so that members of the
# host's allowed group reach run/, which kxmp-host gives to that group (0710).
if(KXMP_DEFAULT_HOME MATCHES "^/var/lib/(.+)$")
  set(KXMP_UNIT_HOME_LINES "StateDirectory=${CMAKE_MATCH_1}\nStateDirectoryMode=0711")
else()
  set(owner "")
  if(KXMP_SERVICE_USER)
    set(owner " -o ${KXMP_SERVICE_USER} -g ${KXMP_SERVICE_USER}")
  endif()
  set(KXMP_UNIT_HOME_LINES "ExecStartPre=+/usr/bin/install -d -m 0711${owner} ${KXMP_DEFAULT_HOME}\nReadWritePaths=${KXMP_DEFAULT_HOME}")
endif()

set(stage "${KXMP_BINARY_DIR}/install-configured")
configure_file("${KXMP_SOURCE_DIR}/packaging/kxmp-host.service.in" "${stage}/kxmp-host.service" @ONLY)
configure_file("${KXMP_SOURCE_DIR}/packaging/kxmp.logrotate.in" "${stage}/logrotate/kxmp" @ONLY)
configure_file("${KXMP_SOURCE_DIR}/packaging/kxmp.pc.in" "${stage}/kxmp.pc" @ONLY)
file(INSTALL "${stage}/kxmp-host.service" DESTINATION "${unit_dir}")
file(INSTALL "${stage}/logrotate/kxmp" DESTINATION "${sysconfdir}/logrotate.d")
file(INSTALL "${stage}/kxmp.pc" DESTINATION "${prefix}/${KXMP_LIBDIR}/pkgconfig")
if(KXMP_SERVICE_USER)
  configure_file("${KXMP_SOURCE_DIR}/packaging/kxmp.sysusers.in" "${stage}/kxmp.conf" @ONLY)
  file(INSTALL "${stage}/kxmp.conf" DESTINATION "${sysusers_dir}")
endif()
