# Makes what only root and the web server's user may use in an installation: the feeds' lock file, and the daemon with its capabilities.
#
# Included at install time after layout.cmake, which sets site_web_user (the
# web server's user of site.cfg) and site_web_group from the daemon's report,
# with these set:
#   TRAXEL_AS_ROOT    true when root installs
#   TRAXEL_FEED_LOCK  the feeds' lock file
#   TRAXEL_DAEMON     the installed daemon
#   TRAXEL_SETCAP     its capabilities at start, for setcap ("cap_net_raw,...")
# A user who could open the lock file could hold every feed's slot and the
# take-over lock; a user who could run the daemon could capture the host's
# traffic with its capabilities.
foreach(path "${TRAXEL_FEED_LOCK}" "${TRAXEL_DAEMON}")
  if(IS_SYMLINK "${path}" OR IS_DIRECTORY "${path}")
    message(FATAL_ERROR "traxel: ${path} is a link or a directory; a file belongs there")
  endif()
endforeach()
file(TOUCH "${TRAXEL_FEED_LOCK}")
set(cmd chmod 0600 "${TRAXEL_FEED_LOCK}")
if(TRAXEL_AS_ROOT)
  # The launcher runs as the web server's user, whose group may run the
  # daemon; chown comes before setcap, which it would undo.
  list(APPEND cmd COMMAND chown "${site_web_user}:${site_web_group}" "${TRAXEL_FEED_LOCK}"
                  COMMAND chown "root:${site_web_group}" "${TRAXEL_DAEMON}"
                  COMMAND chmod 0750 "${TRAXEL_DAEMON}")
endif()
execute_process(COMMAND ${cmd} RESULT_VARIABLE rc ERROR_VARIABLE why ERROR_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "traxel: ${why}")
endif()
if(TRAXEL_AS_ROOT)
  execute_process(COMMAND setcap ${TRAXEL_SETCAP}+ep "${TRAXEL_DAEMON}" RESULT_VARIABLE rc ERROR_VARIABLE why)
  if(NOT rc EQUAL 0)
    message(WARNING "setcap ${TRAXEL_DAEMON}: ${why} (the daemon captures only when started by root)")
  endif()
endif()
