# The unit and the udev rules, read from their files in this folder into a header, so that what
# "ovanta-hardware -i" writes and what the package installs are the same bytes.
# Target: ovanta_installed_files (header packaging/InstalledFiles.h).

set(OVANTA_UNIT_TEMPLATE_FILE ${CMAKE_CURRENT_LIST_DIR}/ovanta-hardware.service.in)
set(OVANTA_UDEV_RULES_FILE ${CMAKE_CURRENT_LIST_DIR}/60-ovanta-hardware.rules)

file(READ ${OVANTA_UNIT_TEMPLATE_FILE} OVANTA_UNIT_TEMPLATE_TEXT)
file(READ ${OVANTA_UDEV_RULES_FILE} OVANTA_UDEV_RULES_TEXT)
foreach(text OVANTA_UNIT_TEMPLATE_TEXT OVANTA_UDEV_RULES_TEXT)
  string(FIND "${${text}}" ")ovanta_file\"" end)
  if(NOT end EQUAL -1)
    message(FATAL_ERROR "${text}: the file holds the end of the raw string that embeds it")
  endif()
endforeach()
# The @ONLY substitution does not look into the values it puts in, so the unit's
# @OVANTA_EXEC_START@ stays in the header.
configure_file(${CMAKE_CURRENT_LIST_DIR}/InstalledFiles.h.in ${CMAKE_BINARY_DIR}/generated/packaging/InstalledFiles.h
               @ONLY)
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${OVANTA_UNIT_TEMPLATE_FILE}
                                                                                    ${OVANTA_UDEV_RULES_FILE})

add_library(ovanta_installed_files INTERFACE)
target_include_directories(ovanta_installed_files INTERFACE ${CMAKE_BINARY_DIR}/generated)
