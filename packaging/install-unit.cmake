# Writes the user unit for the install prefix and installs it. A prefix inside the
# home folder gets the unit in that user's own unit folder; any other prefix (the
# package's) gets the system-wide folder of user units, which every user's manager reads.
# Set by the caller: UNIT_TEMPLATE, UNIT_STAGING (a file in the build folder).
set(home "$ENV{HOME}")
string(FIND "${CMAKE_INSTALL_PREFIX}/" "${home}/" at)
if(NOT home STREQUAL "" AND NOT home STREQUAL "/" AND at EQUAL 0)
  set(unit_folder "${home}/.local/share/systemd/user")
else()
  set(unit_folder "/usr/lib/systemd/user")
endif()

# systemd reads % as a specifier and splits unquoted words at spaces.
string(REPLACE "%" "%%" PROGRAM "${CMAKE_INSTALL_PREFIX}/pianocorvida-plugin")
set(PROGRAM "\"${PROGRAM}\"")
configure_file("${UNIT_TEMPLATE}" "${UNIT_STAGING}" @ONLY)
file(INSTALL "${UNIT_STAGING}" DESTINATION "${unit_folder}")
