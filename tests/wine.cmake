# Starts a persistent wineserver and lets Wine set up its prefix once
# (ACTION=start), or stops the server (ACTION=stop). A machine that cannot
# start this loader at all (no 32-bit support in its kernel) is reported,
# and the cases skip themselves.
execute_process(COMMAND ${LOADER} --version RESULT_VARIABLE broken OUTPUT_QUIET ERROR_QUIET)
if(broken)
  message(STATUS "${LOADER} cannot start on this machine; its cases are skipped")
  return()
endif()
get_filename_component(wine_dir ${LOADER} DIRECTORY)
if(LOADER MATCHES "64$")
  set(server ${wine_dir}/wineserver64)
else()
  set(server ${wine_dir}/wineserver32)
endif()
if(NOT EXISTS ${server})
  set(server ${wine_dir}/wineserver)
endif()
if(ACTION STREQUAL "start")
  # The server outlives this script, so it gets none of its pipes, and it
  # needs its prefix folder to exist before the first program sets it up.
  file(MAKE_DIRECTORY $ENV{WINEPREFIX})
  execute_process(COMMAND ${server} -p INPUT_FILE /dev/null OUTPUT_FILE /dev/null ERROR_FILE /dev/null)
  # Wine's services, started now, live on with the server: they must not
  # hold a pipe that this script would wait on.
  execute_process(COMMAND ${LOADER} ${EXE} TIMEOUT 300 RESULT_VARIABLE failed
                  INPUT_FILE /dev/null OUTPUT_FILE /dev/null ERROR_FILE /dev/null)
  if(failed)
    message(FATAL_ERROR "Wine's first start of ${EXE} failed: ${failed}")
  endif()
else()
  execute_process(COMMAND ${server} -k)
endif()
