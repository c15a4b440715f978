# The version and its release date, read from the newest entry of debian/changelog: a release
# is recorded there and nowhere else (`dch -v <version>` writes the entry), and --version, the
# manual pages and the Debian package all take it from there.
# Sets OVANTA_VERSION (x.y.z) and OVANTA_RELEASE_DATE (YYYY-MM-DD). Included before project().

get_filename_component(OVANTA_CHANGELOG ${CMAKE_CURRENT_LIST_DIR}/../debian/changelog ABSOLUTE)
file(STRINGS ${OVANTA_CHANGELOG} entry_lines REGEX "^(ovanta-hardware \\(| -- )")
list(LENGTH entry_lines count)
if(count LESS 2)
  message(FATAL_ERROR "${OVANTA_CHANGELOG}: no entry with a version line and a signature line")
endif()
list(GET entry_lines 0 version_line)
list(GET entry_lines 1 signature_line)

# "ovanta-hardware (0.2.0) unstable; urgency=medium"; a Debian revision ("-1") is not the
# program's.
if(NOT version_line MATCHES "^ovanta-hardware \\(([0-9]+\\.[0-9]+\\.[0-9]+)(-[^)]*)?\\) ")
  message(FATAL_ERROR "${OVANTA_CHANGELOG}: the newest entry's version is not x.y.z: ${version_line}")
endif()
set(OVANTA_VERSION ${CMAKE_MATCH_1})

# " -- Name <address>  Wed, 09 Dec 2026 04:00:00 +0000"
if(NOT signature_line MATCHES ">  [A-Z][a-z][a-z], ([0-9]?[0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
  message(FATAL_ERROR "${OVANTA_CHANGELOG}: the newest entry's date is not an RFC 5322 date: ${signature_line}")
endif()
set(day ${CMAKE_MATCH_1})
set(year ${CMAKE_MATCH_3})
set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(FIND months ${CMAKE_MATCH_2} month)
if(month EQUAL -1)
  message(FATAL_ERROR "${OVANTA_CHANGELOG}: unknown month in ${signature_line}")
endif()
math(EXPR month "${month} + 1")
if(month LESS 10)
  set(month 0${month})
endif()
if(day LESS 10)
  math(EXPR day "${day}")
  set(day 0${day})
endif()
set(OVANTA_RELEASE_DATE ${year}-${month}-${day})

set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${OVANTA_CHANGELOG})
unset(entry_lines)
unset(count)
unset(version_line)
unset(signature_line)
unset(day)
unset(months)
unset(month)
unset(year)
