# Configures, builds and runs the consumer project by the route ROUTE, then
# installs it and checks that its install holds the program alone: varnel's
# header, library and package config belong to varnel's own install.
# For the package route, the development files of BUILD_DIR are first
# installed into a scratch prefix that the consumer searches.
set(prefix "${WORK_DIR}/prefix")
set(consumer_install "${WORK_DIR}/install")
file(REMOVE_RECURSE "${WORK_DIR}")
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()
if(ROUTE STREQUAL "package")
  run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}" --component development)
endif()
run(${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${WORK_DIR}/build" -G "${GENERATOR}"
    "-DVARNEL_ROUTE=${ROUTE}" "-DVARNEL_SOURCE_DIR=${VARNEL_SOURCE_DIR}"
    "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}"
    "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}")
run(${CMAKE_COMMAND} --build "${WORK_DIR}/build")
run("${WORK_DIR}/build/app")
if(NOT run_output STREQUAL "consumer ok\n")
  message(FATAL_ERROR "the consumer printed: ${run_output}")
endif()
run(${CMAKE_COMMAND} --install "${WORK_DIR}/build" --prefix "${consumer_install}")
file(GLOB_RECURSE installed RELATIVE "${consumer_install}" "${consumer_install}/*")
if(NOT installed MATCHES "^bin/app$")
  message(FATAL_ERROR "the consumer's install holds more than its program: ${installed}")
endif()
message(STATUS "consumer ok by ${ROUTE}, installed: ${installed}")
