# Configures SOURCE into BINARY as a machine without the test packages would, and fails unless
# the configure succeeds and says which tests and benchmarks it leaves out.
file(REMOVE_RECURSE "${BINARY}")
execute_process(
  COMMAND ${CMAKE_COMMAND} -S "${SOURCE}" -B "${BINARY}" -G "${GENERATOR}"
          -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON
          -DCMAKE_DISABLE_FIND_PACKAGE_Qt6Test=ON
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(REMOVE_RECURSE "${BINARY}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "configure failed without the test packages:\n${out}\n${err}")
endif()
foreach(expected "GoogleTest not found" "Google Benchmark not found")
  string(FIND "${out}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "configure did not say \"${expected}\":\n${out}")
  endif()
endforeach()
