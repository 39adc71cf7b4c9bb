# Fails when mandoc reports anything at warning level or above for a page.
foreach(page ${PAGES})
  execute_process(COMMAND ${MANDOC} -T lint -W warning ${page}
    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
    message(FATAL_ERROR "${page}:\n${out}${err}")
  endif()
endforeach()
