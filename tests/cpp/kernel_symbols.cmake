# Fails when the AVX2 build of the supernodal kernels defines a weak symbol
# (an inline function or template instantiated out of line) outside its own
# namespaces: the linker keeps one copy of each such symbol for the whole
# library, and could keep the AVX2 one for callers on any processor.
#   cmake -DNM=<nm> -DOBJECTS=<the library's objects, ;-separated> -P kernel_symbols.cmake
list(FILTER OBJECTS INCLUDE REGEX "supernodal_kernels_avx2")
if(NOT OBJECTS)
  message(STATUS "no AVX2 build of the kernels: nothing to check")
  return()
endif()
execute_process(COMMAND ${NM} -C --defined-only ${OBJECTS} OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${NM} failed on ${OBJECTS}")
endif()
string(REPLACE "\n" ";" symbols "${symbols}")
set(shared "")
foreach(line IN LISTS symbols)
  # Weak (W, V) and unique (u) symbols; the personality routine's reference
  # is the same in every object.
  if(line MATCHES "^[0-9a-f]* [WVu] (.*)$")
    set(name "${CMAKE_MATCH_1}")
    if(NOT name MATCHES "varnel_avx2_eigen|varnel::symbolic::avx2|^DW\\.ref\\.__gxx_personality_v0$")
      string(APPEND shared "\n  ${name}")
    endif()
  endif()
endforeach()
if(shared)
  message(FATAL_ERROR "the AVX2 kernels define weak symbols other builds share:${shared}")
endif()
message(STATUS "the AVX2 kernels define no weak symbol outside their namespaces")
