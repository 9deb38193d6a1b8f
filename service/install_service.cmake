# Runs at install time, when the prefix is known: the unit names the installed
# plexer and its configuration by their full paths.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(QSN_SYSCONFDIR /etc)
else()
  set(QSN_SYSCONFDIR "${CMAKE_INSTALL_PREFIX}/etc")
endif()
set(QSN_BINDIR "${CMAKE_INSTALL_PREFIX}/bin")

configure_file(${QSN_SERVICE_SOURCE}/plexer-gateway.service.in ${QSN_SERVICE_BINARY}/plexer-gateway.service @ONLY)
file(INSTALL ${QSN_SERVICE_BINARY}/plexer-gateway.service DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")

# A plant's own settings survive a reinstall.
if(EXISTS "$ENV{DESTDIR}${QSN_SYSCONFDIR}/plexer/gateway.json")
  message(STATUS "Kept: $ENV{DESTDIR}${QSN_SYSCONFDIR}/plexer/gateway.json")
else()
  file(INSTALL ${QSN_SERVICE_SOURCE}/gateway.json DESTINATION "${QSN_SYSCONFDIR}/plexer")
endif()

# plexer loads the driver from beside its own file, which the link resolves to.
set(link "$ENV{DESTDIR}${QSN_BINDIR}/plexer")
file(MAKE_DIRECTORY "$ENV{DESTDIR}${QSN_BINDIR}")
file(REMOVE "${link}")
file(CREATE_LINK ../lib/qsnwndut/plexer "${link}" SYMBOLIC)
message(STATUS "Installing: ${link} -> ../lib/qsnwndut/plexer")
