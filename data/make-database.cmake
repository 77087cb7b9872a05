# Creates the empty database from the schema text, but never over an existing file:
# the database in an install folder holds the learner's data.
if(EXISTS "${DATABASE}")
  return()
endif()
get_filename_component(folder "${DATABASE}" DIRECTORY)
file(MAKE_DIRECTORY "${folder}")
execute_process(COMMAND "${SQLITE3}" "${DATABASE}.new" INPUT_FILE "${SCHEMA}"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE "${DATABASE}.new")
  message(FATAL_ERROR "could not create ${DATABASE} from ${SCHEMA}")
endif()
file(RENAME "${DATABASE}.new" "${DATABASE}")
