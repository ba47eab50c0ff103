# Runs `npm ci` in SOURCE_DIR unless node_modules already holds what package-lock.json pins. Build folders share
# the one node_modules, so a lock keeps two builds from reinstalling it under each other's feet.
file(LOCK ${SOURCE_DIR}/.node_modules.lock GUARD PROCESS TIMEOUT 600)
set(installed_lock ${SOURCE_DIR}/node_modules/.quillan-package-lock.json)
if(EXISTS ${installed_lock})
  file(SHA256 ${SOURCE_DIR}/package-lock.json wanted)
  file(SHA256 ${installed_lock} have)
  if(wanted STREQUAL have)
    return()
  endif()
endif()
execute_process(
  COMMAND ${NPM} ci --ignore-scripts --no-audit --no-fund --loglevel=error
  WORKING_DIRECTORY ${SOURCE_DIR}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "npm ci failed (${result}); the Node-API headers are missing")
endif()
file(COPY_FILE ${SOURCE_DIR}/package-lock.json ${installed_lock})
