# What `cmake --install` puts where: the programs, their man pages, the docs,
# the service unit with its defaults file and system user, and the udev
# example, and the bash completions. The Debian packages split the same tree
# in two.
#
#   TRV_SYSTEMD_UNITDIR   where trvs.service goes (default lib/systemd/system)
#   TRV_SYSUSERSDIR       where the trvs user's sysusers.d entry goes
#
# Relative folders are taken under the prefix, so `cmake --install --prefix`
# and DESTDIR move every file. The unit names the programs and the defaults
# file by the paths chosen when configuring (CMAKE_INSTALL_PREFIX,
# CMAKE_INSTALL_SYSCONFDIR).
include(GNUInstallDirs)

set(TRV_SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING "Folder for the systemd unit of trvs")
set(TRV_SYSUSERSDIR "lib/sysusers.d" CACHE STRING "Folder for the sysusers.d entry of the trvs user")

install(TARGETS trvc RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS trvs RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})

install(FILES docs/man/trvc.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES docs/man/trvs.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES README.md docs/trvs.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES dist/60-trv-disks.rules DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The unit names the installed trvs and defaults file, wherever they went.
set(TRV_DEFAULTS_FILE ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/trvs)
configure_file(dist/trvs.service.in ${PROJECT_BINARY_DIR}/dist/trvs.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/dist/trvs.service DESTINATION ${TRV_SYSTEMD_UNITDIR})
install(FILES dist/trvs.sysusers DESTINATION ${TRV_SYSUSERSDIR} RENAME trvs.conf)
# With the prefix /usr, GNUInstallDirs puts the configuration in /etc.
if(CMAKE_INSTALL_FULL_SYSCONFDIR STREQUAL "/etc")
  set(defaults_dir /etc/default)
else()
  set(defaults_dir ${CMAKE_INSTALL_SYSCONFDIR}/default)
endif()
install(FILES dist/trvs.default DESTINATION ${defaults_dir} RENAME trvs)

set(TRV_BASH_COMPLETIONDIR "${CMAKE_INSTALL_DATADIR}/bash-completion/completions"
    CACHE STRING "Folder for the bash completions of trvc and trvs")
install(FILES dist/trvc.bash-completion DESTINATION ${TRV_BASH_COMPLETIONDIR} RENAME trvc)
install(FILES dist/trvs.bash-completion DESTINATION ${TRV_BASH_COMPLETIONDIR} RENAME trvs)
