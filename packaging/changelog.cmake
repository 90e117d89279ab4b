# SPDX-License-Identifier: MIT
# Writes the Debian changelog of the package, gzipped, from NEWS: each
# "sockrelay VERSION (YYYY-MM-DD)" heading opens an entry and the indented
# lines under it are its items. The newest entry must be the version set in
# project(). Debian wants every entry newer than the one below it, and
# releases can share a day, so an entry's time is that day's midnight UTC
# plus one minute for each older entry.
set(news ${PROJECT_SOURCE_DIR}/NEWS)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${news})
file(STRINGS ${news} lines)
set(heading "^sockrelay ([0-9.]+) \\(([0-9]+-[0-9]+-[0-9]+)\\)$")
set(headings ${lines})
list(FILTER headings INCLUDE REGEX "${heading}")
list(LENGTH headings older)
set(changelog "")
set(trailer "")
foreach(line IN LISTS lines)
  if(line MATCHES "${heading}")
    set(version ${CMAKE_MATCH_1})
    if(NOT newest)
      set(newest ${version})
    endif()
    math(EXPR older "${older} - 1")
    execute_process(COMMAND date -u -R -d "${CMAKE_MATCH_2} 00:00 UTC + ${older} minutes"
                    OUTPUT_VARIABLE date OUTPUT_STRIP_TRAILING_WHITESPACE
                    COMMAND_ERROR_IS_FATAL ANY)
    string(APPEND changelog "${trailer}${PROJECT_NAME} (${version}) unstable; urgency=medium\n\n")
    set(trailer "\n -- ${SOCKRELAY_MAINTAINER}  ${date}\n\n")
  elseif(line MATCHES "^  ")
    string(APPEND changelog "${line}\n")
  endif()
endforeach()
string(REGEX REPLACE "\n\n$" "\n" trailer "${trailer}")
string(APPEND changelog "${trailer}")
if(NOT newest STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "NEWS begins with version ${newest}, CMakeLists.txt says ${PROJECT_VERSION}")
endif()
file(WRITE ${PROJECT_BINARY_DIR}/changelog "${changelog}")
execute_process(COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/changelog COMMAND_ERROR_IS_FATAL ANY)
