# Run by CPack on the staged files: Debian keeps manual pages and the
# changelog compressed, with no time stamp in the compressed file.
if(CPACK_GENERATOR STREQUAL "DEB")
  file(GLOB_RECURSE staged "${CPACK_TEMPORARY_DIRECTORY}/*.1" "${CPACK_TEMPORARY_DIRECTORY}/*/changelog")
  foreach(file IN LISTS staged)
    execute_process(COMMAND gzip -9n "${file}" COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
endif()
