# Writes the user unit for the install prefix and installs it into
# <prefix>/lib/systemd/user (the package's prefix is /usr), so that an install writes
# under DESTDIR and the prefix only, whoever runs it and wherever the prefix is.
# Set by the caller: UNIT_TEMPLATE, UNIT_STAGING (a folder in the build folder), and
# PROGRAM_FOLDER (the program's folder under the prefix) or nothing (the prefix itself).
set(UNIT_FOLDER "${CMAKE_INSTALL_PREFIX}/lib/systemd/user")
set(program "${CMAKE_INSTALL_PREFIX}/pianocorvida-plugin")
if(PROGRAM_FOLDER)
  set(program "${CMAKE_INSTALL_PREFIX}/${PROGRAM_FOLDER}/pianocorvida-plugin")
endif()

# systemd reads % as a specifier and splits unquoted words at spaces.
string(REPLACE "%" "%%" PROGRAM "${program}")
set(PROGRAM "\"${PROGRAM}\"")
# One staged file per destination: installs of the same build may run side by side
# (cpack and cmake --install).
string(MD5 staging_key "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}|${UNIT_FOLDER}")
set(staged "${UNIT_STAGING}/${staging_key}/pianocorvida-plugin.service")
configure_file("${UNIT_TEMPLATE}" "${staged}" @ONLY)
file(INSTALL "${staged}" DESTINATION "${UNIT_FOLDER}")
