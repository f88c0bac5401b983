# Lays out the graphs of an installation as its daemon reports them: one feed link and one pipe per graph, and the page's graph list.
#
# Run at install time (or with cmake -P) with these variables set:
#   TRAXEL_DIR     the installation directory being filled; its daemon,
#                  ./traxel -n, reads traxel.cfg and capture.cfg there
#   TRAXEL_OWNER   owner given to new pipes ("nobody:nogroup"), empty for none
# A configuration fault ends the run with the daemon's lines.
cmake_minimum_required(VERSION 3.17)

# Ends the run after printing text whole: CMake would wrap an error text.
function(fault text)
  message(NOTICE "${text}")
  message(FATAL_ERROR "the graphs of the installation were not laid out")
endfunction()

# Creates the named pipe of a graph unless it exists: the daemon may be
# holding it with unread samples, which a new pipe would lose.
function(make_fifo path)
  execute_process(COMMAND test -p "${path}" RESULT_VARIABLE is_fifo)
  if(is_fifo EQUAL 0)
    return()
  endif()
  if(EXISTS "${path}" OR IS_SYMLINK "${path}")
    fault("${path}: exists and is not a named pipe")
  endif()
  execute_process(COMMAND mkfifo -m 0644 "${path}" RESULT_VARIABLE rc ERROR_VARIABLE why
                  ERROR_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0)
    fault("mkfifo ${path}: ${why}")
  endif()
  # The feeds run as the web server's user and read the pipe; a daemon of the
  # same user (started by the launcher) must be able to write it.
  if(TRAXEL_OWNER)
    execute_process(COMMAND chown "${TRAXEL_OWNER}" "${path}" RESULT_VARIABLE rc ERROR_VARIABLE why
                  ERROR_STRIP_TRAILING_WHITESPACE)
    if(NOT rc EQUAL 0)
      fault("chown ${TRAXEL_OWNER} ${path}: ${why}")
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

drop_stale("${cgi}" "${names}")
foreach(name IN LISTS names)
  file(CREATE_LINK plotfeed "${cgi}/${name}" SYMBOLIC)
  make_fifo("${cgi}/${name}.fifo")
endforeach()
list(JOIN graphs ",\n  " listed)
file(WRITE "${TRAXEL_DIR}/httpd/htdocs/graphs.json"
     "{\"win\": ${window}, \"interval\": ${interval}, \"per_connection\": ${per_connection}, \"graphs\": [\n  ${listed}\n]}\n")
list(JOIN names " " all)
message(STATUS "Graphs: ${all}")
