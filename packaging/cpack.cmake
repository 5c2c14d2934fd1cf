# The Debian package (cpack -G DEB in a build folder; scripts/package does it all). Configure the
# build with -DCMAKE_INSTALL_PREFIX=/usr: the units name the programs by their installed path.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trellis)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_CONTACT "Seed 9a059598 maintainers <maintainers@users.noreply.c-seed-9a059598.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "hardware-state agent publishing CPU, disk and fan readings on D-Bus")
set(CPACK_PACKAGE_DESCRIPTION "\
trellis-agent samples the CPU temperature, the main disk's temperature and
the fans every 2 seconds once a user is at the console, and publishes them as
broadcast notifications on the session or the system bus. It reads the Apple
SMC of an Intel Mac or the hwmon and thermal sensors of any machine, obeys
pause, quit and low-power commands, and can serve its readings to Prometheus.

trellis, the companion, shows the readings, commands the agent and reads the
CPU, memory, disk and network records. The package carries a systemd user
unit, a sandboxed system unit running as the trellis user, and the system
bus policy.")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TRELLIS_DEBIAN_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Libraries the programs link to, from the programs themselves (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libmicrohttpd is loaded only for --metrics-listen; the user unit wants a session bus under
# systemd; the companion shows alerts with zenity, finds windows with xwininfo, opens files with
# xdg-open; without pmset, low-power mode goes through power-profiles-daemon.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libmicrohttpd12, dbus-user-session | dbus-session-bus")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "power-profiles-daemon, zenity, x11-utils, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/packaging/debian/postinst
  ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
  ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
