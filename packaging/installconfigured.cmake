# installconfigured.cmake - runs at install time: fills portkit.pc and the
# systemd units with the prefix being installed to, then installs them (DESTDIR
# and the install manifest honoured by file(INSTALL)).

set(prefix "${CMAKE_INSTALL_PREFIX}")
# Absolute paths for the units; paths below ${prefix} for portkit.pc.
foreach(kind BIN LIB INCLUDE)
  if(IS_ABSOLUTE "${PK_${kind}DIR}")
    set(PK_FULL_${kind}DIR "${PK_${kind}DIR}")
    set(PC_${kind}DIR "${PK_${kind}DIR}")
  else()
    set(PK_FULL_${kind}DIR "${prefix}/${PK_${kind}DIR}")
    set(PC_${kind}DIR "\${prefix}/${PK_${kind}DIR}")
  endif()
endforeach()

# One staging folder per prefix: two installs at once (say, two tests) must
# not fill each other's files.
string(MD5 stage "${prefix}")
set(stage "${PK_STAGE_DIR}/${stage}")

configure_file("${PK_SOURCE_DIR}/portkit.pc.in" "${stage}/portkit.pc" @ONLY)
file(INSTALL DESTINATION "${PK_FULL_LIBDIR}/pkgconfig" TYPE FILE FILES "${stage}/portkit.pc")

# The units share two templates, a service and its socket; these are the
# lines in which they differ. The backlogs are the programs' own.
set(quadserv_description "Echo, chargen, daytime and time over TCP and UDP (quadserv)")
set(quadserv_service_extra "# One child per TCP connection: a bound keeps a flood of clients from
# filling the host's process table.
TasksMax=512
")
set(quadserv_listen "ListenStream=7\nListenStream=13\nListenStream=19\nListenStream=37
ListenDatagram=7\nListenDatagram=13\nListenDatagram=19\nListenDatagram=37")
set(quadserv_backlog 32)
set(datepage_description "Local date and time as an HTTP page on port 8013 (datepage)")
set(datepage_listen "ListenStream=8013")
set(datepage_backlog 10)
set(clockpage_description "Local date and time as an HTTP page on the time port (clockpage)")
set(clockpage_listen "ListenStream=37")
set(clockpage_backlog 32)
# systemd runs the stop of one unit before the start of another whenever
# the two are ordered, either way; these orders, sockets before services,
# make each side's server let port 37 go before the other side's socket
# binds it, without an ordering cycle.
set(clockpage_socket_extra "# TCP port 37 (time) is quadserv's too; only one of them can hold it.
Conflicts=quadserv.socket
After=quadserv.socket
Before=quadserv.service
")
set(clockpage_extra "# quadserv.socket binds port 37 only once this server has let it go.
After=quadserv.socket
")

foreach(UNIT_NAME IN LISTS PK_UNITS)
  set(UNIT_DESCRIPTION "${${UNIT_NAME}_description}")
  set(UNIT_EXTRA "${${UNIT_NAME}_extra}")
  set(UNIT_SERVICE_EXTRA "${${UNIT_NAME}_service_extra}")
  set(SOCKET_EXTRA "${${UNIT_NAME}_socket_extra}")
  set(SOCKET_LISTEN "${${UNIT_NAME}_listen}")
  set(SOCKET_BACKLOG "${${UNIT_NAME}_backlog}")
  foreach(kind service socket)
    configure_file("${PK_SOURCE_DIR}/server.${kind}.in" "${stage}/${UNIT_NAME}.${kind}" @ONLY)
    file(INSTALL DESTINATION "${prefix}/lib/systemd/system" TYPE FILE
         FILES "${stage}/${UNIT_NAME}.${kind}")
  endforeach()
endforeach()
