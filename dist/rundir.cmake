# Makes the daemon's state directory "run" of an installation, where it publishes traxel.prom.
#
# Included at install time after layout.cmake (site_web_user, site_web_group)
# with TRAXEL_RUN (the directory) and TRAXEL_AS_ROOT (true when root
# installs) set. The daemon writes there after giving up root, so the
# directory belongs to its user, the web server's; it never follows a link
# there, and neither does this.
if(IS_SYMLINK "${TRAXEL_RUN}")
  message(FATAL_ERROR "traxel: ${TRAXEL_RUN} is a symbolic link; the daemon needs a directory there")
endif()
file(MAKE_DIRECTORY "${TRAXEL_RUN}")
set(cmd chmod 0755 "${TRAXEL_RUN}")
if(TRAXEL_AS_ROOT)
  list(APPEND cmd COMMAND chown -h "${site_web_user}:${site_web_group}" "${TRAXEL_RUN}")
endif()
execute_process(COMMAND ${cmd} RESULT_VARIABLE rc ERROR_VARIABLE why ERROR_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "traxel: ${TRAXEL_RUN}: ${why}")
endif()
