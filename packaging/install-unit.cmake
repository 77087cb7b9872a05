# Writes the user unit for the install prefix and installs it: into UNIT_FOLDER when
# the caller names one (the package's /usr/lib/systemd/user), otherwise into
# <prefix>/lib/systemd/user, so that an install writes under DESTDIR and the prefix
# only, whoever runs it and wherever the prefix is.
# Set by the caller: UNIT_TEMPLATE, UNIT_STAGING (a folder in the build folder), and
# UNIT_FOLDER or nothing.
if(NOT UNIT_FOLDER)
  set(UNIT_FOLDER "${CMAKE_INSTALL_PREFIX}/lib/systemd/user")
endif()

# systemd reads % as a specifier and splits unquoted words at spaces.
string(REPLACE "%" "%%" PROGRAM "${CMAKE_INSTALL_PREFIX}/pianocorvida-plugin")
set(PROGRAM "\"${PROGRAM}\"")
# One staged file per destination: installs of the same build may run side by side
# (cpack and cmake --install).
string(MD5 staging_key "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}|${UNIT_FOLDER}")
set(staged "${UNIT_STAGING}/${staging_key}/pianocorvida-plugin.service")
configure_file("${UNIT_TEMPLATE}" "${staged}" @ONLY)
file(INSTALL "${staged}" DESTINATION "${UNIT_FOLDER}")
