# Lays out the graphs of an installation as its daemon reports them: one feed link and one pipe per graph, and the page's graph list.
#
# Run at install time (or with cmake -P) with these variables set:
#   TRAXEL_DIR      the installation directory being filled; its daemon,
#                   ./traxel -n, reads traxel.cfg, capture.cfg and site.cfg there
#   TRAXEL_AS_ROOT  true when root installs: the pipes go to the web server's
#                   user of site.cfg and its group
# A configuration fault ends the run with the daemon's lines. Sets the site's
# lines of the report for site.cmake and private.cmake (site_listen,
# site_port, site_web_user, site_boot, site_user, site_textfile when one is
# set) and site_web_group, the web server's user's group.
cmake_minimum_required(VERSION 3.17)

# Ends the run after printing text whole: CMake would wrap an error text.
function(fault text)
  message(NOTICE "${text}")
  message(FATAL_ERROR "the graphs of the installation were not laid out")
endfunction()

# Creates the named pipe of a graph unless it exists: the daemon may be
# holding it with unread samples, which a new pipe would lose. Gives it mode
# 0640 and, when one is set, owner (user:group), also when it exists: an
# earlier install may have made it 0644, or for another web-user, and a
# daemon under systemd sees the CGI directory read-only.
function(make_fifo path owner)
  execute_process(COMMAND test -p "${path}" RESULT_VARIABLE is_fifo)
  if(NOT is_fifo EQUAL 0)
    if(EXISTS "${path}" OR IS_SYMLINK "${path}")
      fault("${path}: exists and is not a named pipe")
    endif()
    execute_process(COMMAND mkfifo -m 0640 "${path}" RESULT_VARIABLE rc ERROR_VARIABLE why
                    ERROR_STRIP_TRAILING_WHITESPACE)
    if(NOT rc EQUAL 0)
      fault("mkfifo ${path}: ${why}")
    endif()
  endif()
  # The feeds run as the web server's user and read the pipe, which no other
  # user may (a reader takes the samples); a daemon of the same user (started
  # by the launcher) must be able to write it. A link is never followed: the
  # daemon refuses one anyway.
  if(owner)
    execute_process(COMMAND chown -h "${owner}" "${path}" RESULT_VARIABLE rc ERROR_VARIABLE why
                    ERROR_STRIP_TRAILING_WHITESPACE)
    if(NOT rc EQUAL 0)
      fault("chown ${owner} ${path}: ${why}")
    endif()
  endif()
  if(NOT IS_SYMLINK "${path}")
    execute_process(COMMAND chmod 0640 "${path}" RESULT_VARIABLE rc ERROR_VARIABLE why ERROR_STRIP_TRAILING_WHITESPACE)
    if(NOT rc EQUAL 0)
      fault("chmod 0640 ${path}: ${why}")
    endif()
  endif()
endfunction()

# Removes feed links (and their pipes) of graphs no longer configured.
function(drop_stale cgi names)
  file(GLOB entries LIST_DIRECTORIES true "${cgi}/*")
  foreach(path ${entries})
    get_filename_component(name "${path}" NAME)
    if(IS_SYMLINK "${path}" AND NOT name IN_LIST names)
      file(READ_SYMLINK "${path}" target)
      if(target STREQUAL "plotfeed")
        file(REMOVE "${path}" "${path}.fifo")
        message(STATUS "Removed: ${path}")
      endif()
    endif()
  endforeach()
endfunction()

if(NOT TRAXEL_DIR)
  fault("layout.cmake: TRAXEL_DIR is not set")
endif()
set(cgi "${TRAXEL_DIR}/httpd/cgi-bin")

# The daemon checks the files as it will read them at start; its lines on
# standard error are faults when it fails, warnings otherwise.
execute_process(COMMAND ./traxel -n WORKING_DIRECTORY "${TRAXEL_DIR}" RESULT_VARIABLE rc
                OUTPUT_VARIABLE report ERROR_VARIABLE said ERROR_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0)
  fault("${said}")
elseif(said)
  message(NOTICE "${said}")
endif()

# The report's lines (traxel -n in traxel(8)); graph names are letters,
# digits, '.', '_' and '-' only, so none holds a list separator.
set(names "")
set(graphs "")
string(REGEX MATCHALL "[^\n]+" lines "${report}")
foreach(line IN LISTS lines)
  if(line MATCHES "^(window|interval|per-connection) ([0-9]+)$")
    string(REPLACE "-" "_" key "${CMAKE_MATCH_1}")
    set(${key} ${CMAKE_MATCH_2})
  elseif(line MATCHES "^(listen|port|web-user|boot|user|textfile) ([^ ]+)$")
    # The site's lines, for site.cmake.
    string(REPLACE "-" "_" key "site_${CMAKE_MATCH_1}")
    set(${key} "${CMAKE_MATCH_2}")
  elseif(line MATCHES "^graph ([A-Za-z0-9._-]+) ([a-z]+) ([a-z]+)$")
    list(APPEND names ${CMAKE_MATCH_1})
    list(APPEND graphs "{\"name\": \"${CMAKE_MATCH_1}\", \"kind\": \"${CMAKE_MATCH_2}\", \"unit\": \"${CMAKE_MATCH_3}\"}")
  else()
    fault("traxel -n: a line this installation does not know: ${line}")
  endif()
endforeach()
if(NOT window OR NOT interval OR NOT per_connection OR NOT names)
  fault("traxel -n: no window, interval, per-connection or graph line in:\n${report}")
endif()

execute_process(COMMAND id -gn "${site_web_user}" OUTPUT_VARIABLE site_web_group OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE rc ERROR_VARIABLE why ERROR_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0)
  fault("the web server's user ${site_web_user}: ${why}")
endif()
set(owner "")
if(TRAXEL_AS_ROOT)
  set(owner "${site_web_user}:${site_web_group}")
endif()

drop_stale("${cgi}" "${names}")
foreach(name IN LISTS names)
  # What an admin put in place of a graph's link (a wrapper, say) stays.
  set(link "${cgi}/${name}")
  set(target "")
  if(IS_SYMLINK "${link}")
    file(READ_SYMLINK "${link}" target)
  endif()
  if(NOT EXISTS "${link}" AND NOT IS_SYMLINK "${link}")
    file(CREATE_LINK plotfeed "${link}" SYMBOLIC)
  elseif(NOT target STREQUAL "plotfeed")
    message(STATUS "Kept: ${link}, which is not the installation's link to plotfeed")
  endif()
  make_fifo("${link}.fifo" "${owner}")
endforeach()
list(JOIN graphs ",\n  " listed)
file(WRITE "${TRAXEL_DIR}/httpd/htdocs/graphs.json"
     "{\"win\": ${window}, \"interval\": ${interval}, \"per_connection\": ${per_connection}, \"graphs\": [\n  ${listed}\n]}\n")
list(JOIN names " " all)
message(STATUS "Graphs: ${all}")
