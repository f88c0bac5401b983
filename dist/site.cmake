# Makes an installation's site files from the site lines of its daemon's report (traxel -n): mini_httpd.conf, the other web servers' configurations, and the systemd units, enabled at boot where systemd runs.
#
# Included at install time after layout.cmake, which sets site_listen,
# site_port, site_web_user, site_web_group, site_boot, site_user and, when
# one is set, site_textfile from the report; with these variables set besides:
#   TRAXEL_DIR      the installation directory being filled (DESTDIR in front)
#   TRAXEL_HOME     the installation directory as the running system sees it
#   TRAXEL_CAPS     the capabilities the daemon needs at start (cap_net_raw ...)
#   TRAXEL_SYSCALLS system calls it needs beyond systemd's @system-service
#   fcgiwrap_socket where nginx finds fcgiwrap; Debian's fcgiwrap.socket when
#                   not set
# The units go to /etc/systemd/system only when systemd runs this host,
# site.cfg says boot yes and no DESTDIR is in use; elsewhere the installation
# says why nothing starts traxel at boot.
cmake_minimum_required(VERSION 3.17)

foreach(key listen port web_user web_group boot user)
  if("${site_${key}}" STREQUAL "")
    message(FATAL_ERROR "site.cmake: no ${key} from traxel -n")
  endif()
endforeach()
set(listen "${site_listen}")
set(port "${site_port}")
set(web_user "${site_web_user}")
set(boot "${site_boot}")
set(user "${site_user}")
set(textfile "")
if(site_textfile)
  set(textfile " ${site_textfile}")
endif()

set(dir "${TRAXEL_HOME}")
list(TRANSFORM TRAXEL_CAPS TOUPPER OUTPUT_VARIABLE upper)
list(JOIN upper " " caps)
list(JOIN TRAXEL_SYSCALLS " " syscalls)
configure_file("${CMAKE_CURRENT_LIST_DIR}/mini_httpd.conf.in" "${TRAXEL_DIR}/mini_httpd.conf" @ONLY)
set(units traxel.service traxel-httpd.service)
foreach(unit ${units})
  configure_file("${CMAKE_CURRENT_LIST_DIR}/${unit}.in" "${TRAXEL_DIR}/systemd/${unit}" @ONLY)
endforeach()

# The web server reads the password file after it has become web-user;
# nobody else needs to.
set(password "${TRAXEL_DIR}/httpd/cgi-bin/.htpasswd")
if(EXISTS "${password}")
  execute_process(COMMAND chown "root:${site_web_group}" "${password}" COMMAND chmod 0640 "${password}"
                  RESULT_VARIABLE rc ERROR_VARIABLE why)
  if(NOT rc EQUAL 0)
    message(WARNING "traxel: ${password}: ${why}")
  endif()
endif()

# Apache, lighttpd and nginx serve the installation at url, each from the
# file that the admin enables (docs/servers.md). Their CGI programs ask a
# listed user when the password file exists, else answer this host only; the
# lines of the other way stay in the file as comments.
set(url /traxel)
if(NOT fcgiwrap_socket)
  set(fcgiwrap_socket /run/fcgiwrap.socket)
endif()
set(auth "# ")
set(local "")
if(EXISTS "${password}")
  set(auth "")
  set(local "# ")
endif()
foreach(server apache2 lighttpd nginx)
  configure_file("${CMAKE_CURRENT_LIST_DIR}/${server}.conf.in" "${TRAXEL_DIR}/servers/${server}.conf" @ONLY)
endforeach()
configure_file("${CMAKE_CURRENT_LIST_DIR}/fcgiwrap.conf" "${TRAXEL_DIR}/servers/fcgiwrap.conf" COPYONLY)

set(system /etc/systemd/system)
if(NOT IS_DIRECTORY /run/systemd/system OR DEFINED ENV{DESTDIR})
  if(boot STREQUAL "yes")
    message(NOTICE "traxel: systemd does not run this host (or DESTDIR is set): nothing starts traxel at boot; "
                   "the units are in ${TRAXEL_DIR}/systemd, and scripts/serve.sh starts it")
  endif()
  return()
endif()
if(boot STREQUAL "yes")
  foreach(unit ${units})
    file(INSTALL "${TRAXEL_DIR}/systemd/${unit}" DESTINATION ${system})
  endforeach()
  execute_process(COMMAND systemctl daemon-reload COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND systemctl enable --quiet ${units} COMMAND_ERROR_IS_FATAL ANY)
  message(STATUS "Started at boot by systemd: ${units}")
else()
  # Units of this installation that an earlier boot yes left.
  foreach(unit ${units})
    if(EXISTS "${system}/${unit}")
      file(STRINGS "${system}/${unit}" first LIMIT_COUNT 1)
      if(first MATCHES " from ${dir}/site.cfg")
        execute_process(COMMAND systemctl disable --quiet ${unit})
        file(REMOVE "${system}/${unit}")
        message(STATUS "Removed: ${system}/${unit} (boot no)")
      endif()
    endif()
  endforeach()
  execute_process(COMMAND systemctl daemon-reload)
endif()
