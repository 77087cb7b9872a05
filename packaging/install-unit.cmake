# Writes the user unit for the install prefix and installs it. A prefix inside the
# home folder gets the unit in that user's own unit folder; any other prefix (the
# package's) gets the system-wide folder of user units, which every user's manager reads.
# Set by the caller: UNIT_TEMPLATE, UNIT_STAGING (a folder in the build folder).
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
# One staged file per destination: installs of the same build may run side by side
# (cpack and cmake --install).
string(MD5 staging_key "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
set(staged "${UNIT_STAGING}/${staging_key}/pianocorvida-plugin.service")
configure_file("${UNIT_TEMPLATE}" "${staged}" @ONLY)
file(INSTALL "${staged}" DESTINATION "${unit_folder}")
