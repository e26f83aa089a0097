# Configures, builds and runs the consumer project by the route ROUTE, then
# installs it and checks that its install holds the program alone: varnel's
# headers, library and package config belong to varnel's own install.
# For the package route, the development files of BUILD_DIR are first
# installed into a scratch prefix that the consumer searches, and the headers
# must sit in the project's own folder there. The program is the README's
# C++ example, word for word.
cmake_minimum_required(VERSION 3.18)
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
file(READ "${VARNEL_SOURCE_DIR}/README.md" readme)
file(READ "${SOURCE_DIR}/main.cpp" example)
string(FIND "${readme}" "${example}" example_at)
if(example_at EQUAL -1)
  message(FATAL_ERROR "README.md does not show ${SOURCE_DIR}/main.cpp as its C++ example")
endif()
if(ROUTE STREQUAL "package")
  run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}" --component development)
  file(GLOB_RECURSE headers RELATIVE "${prefix}/include" "${prefix}/include/*")
  if(NOT "varnel/symbolic/symbolic.h" IN_LIST headers)
    message(FATAL_ERROR "no include/varnel/symbolic/symbolic.h in the install: ${headers}")
  endif()
  foreach(header IN LISTS headers)
    if(NOT header MATCHES "^varnel/symbolic/")
      message(FATAL_ERROR "a header installed outside include/varnel/symbolic: ${header}")
    endif()
  endforeach()
endif()
run(${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${WORK_DIR}/build" -G "${GENERATOR}"
    "-DVARNEL_ROUTE=${ROUTE}" "-DVARNEL_SOURCE_DIR=${VARNEL_SOURCE_DIR}"
    "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}"
    "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}")
run(${CMAKE_COMMAND} --build "${WORK_DIR}/build")
run("${WORK_DIR}/build/app")
if(NOT run_output STREQUAL "y = 1.423360, dy/dx = -2.828857\n")
  message(FATAL_ERROR "the consumer printed: ${run_output}")
endif()
run(${CMAKE_COMMAND} --install "${WORK_DIR}/build" --prefix "${consumer_install}")
file(GLOB_RECURSE installed RELATIVE "${consumer_install}" "${consumer_install}/*")
if(NOT installed MATCHES "^bin/app$")
  message(FATAL_ERROR "the consumer's install holds more than its program: ${installed}")
endif()
message(STATUS "consumer ok by ${ROUTE}, installed: ${installed}")
