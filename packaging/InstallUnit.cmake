# Installs the systemd unit with ExecStart= naming the installed executable, written as
# "ovanta-hardware -i" writes it: the path in double quotes, '"' and '\' escaped with a
# backslash, '%' doubled. Set by the caller: OVANTA_UNIT_TEMPLATE_FILE, OVANTA_UNIT_WORK_DIR,
# OVANTA_SBINDIR, OVANTA_UNIT_INSTALL_DIR (relative: under the prefix).

set(executable "${CMAKE_INSTALL_PREFIX}/${OVANTA_SBINDIR}/ovanta-hardware")
string(REPLACE "\\" "\\\\" OVANTA_EXEC_START "${executable}")
string(REPLACE "\"" "\\\"" OVANTA_EXEC_START "${OVANTA_EXEC_START}")
string(REPLACE "%" "%%" OVANTA_EXEC_START "${OVANTA_EXEC_START}")
set(OVANTA_EXEC_START "\"${OVANTA_EXEC_START}\"")

# One work file per prefix: installs to different prefixes do not write each other's.
string(MD5 prefix_tag "${executable}")
set(unit "${OVANTA_UNIT_WORK_DIR}/${prefix_tag}/ovanta-hardware.service")
configure_file("${OVANTA_UNIT_TEMPLATE_FILE}" "${unit}" @ONLY)
if(IS_ABSOLUTE "${OVANTA_UNIT_INSTALL_DIR}")
  set(destination "${OVANTA_UNIT_INSTALL_DIR}")
else()
  set(destination "${CMAKE_INSTALL_PREFIX}/${OVANTA_UNIT_INSTALL_DIR}")
endif()
file(INSTALL DESTINATION "${destination}" TYPE FILE FILES "${unit}")
