# Runs at install time, when the prefix is known: the unit names the installed
# plexer and its configuration by their full paths.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(QSN_SYSCONFDIR /etc)
else()
  set(QSN_SYSCONFDIR "${CMAKE_INSTALL_PREFIX}/etc")
endif()
set(QSN_BINDIR "${CMAKE_INSTALL_PREFIX}/bin")

# One unit for a single line, and a template for a plant of several: instance
# NAME reads NAME.json beside the single unit's gateway.json, and keeps its
# history in /var/lib/plexer-gateway/NAME/.
function(qsn_install_unit file config summary description name logs state)
  set(QSN_CONFIG "${config}")
  set(QSN_UNIT_SUMMARY "${summary}")
  set(QSN_UNIT_DESCRIPTION "${description}")
  set(QSN_UNIT_NAME "${name}")
  set(QSN_LOGS_DIR "${logs}")
  set(QSN_STATE_DIR "${state}")
  configure_file(${QSN_SERVICE_SOURCE}/plexer-gateway.service.in ${QSN_SERVICE_BINARY}/${file} @ONLY)
  file(INSTALL ${QSN_SERVICE_BINARY}/${file} DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
endfunction()
qsn_install_unit(plexer-gateway.service "${QSN_SYSCONFDIR}/plexer/gateway.json"
  "one Optomux line served as a Modbus TCP server."
  "Optomux line as a Modbus TCP server (plexer gateway)" plexer-gateway plexer-gateway plexer-gateway)
qsn_install_unit(plexer-gateway@.service "${QSN_SYSCONFDIR}/plexer/%i.json"
  "one Optomux line of a plant per instance (plexer-gateway@NAME reads NAME.json)."
  "Optomux line %i as a Modbus TCP server (plexer gateway)" plexer-gateway-%i plexer-gateway/%i plexer-gateway/%i)

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
