# Eigen 3.4, header-only: the solver's linear algebra. Found as installed for
# CMake (Debian's libeigen3-dev), or else from PyPI's cmeel-eigen in the
# Python environment that builds (a build requirement of the wheel), whose
# prefix `python -m cmeel cmake` prints.
find_package(Eigen3 3.4 QUIET NO_MODULE)
if(NOT Eigen3_FOUND)
  if(Python_EXECUTABLE)
    set(VARNEL_EIGEN_PYTHON "${Python_EXECUTABLE}")
  else()
    find_program(VARNEL_EIGEN_PYTHON NAMES python3 python)
  endif()
  if(VARNEL_EIGEN_PYTHON)
    execute_process(COMMAND "${VARNEL_EIGEN_PYTHON}" -m cmeel cmake
      OUTPUT_VARIABLE varnel_cmeel_prefixes OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE varnel_cmeel_result ERROR_QUIET)
    if(varnel_cmeel_result EQUAL 0 AND varnel_cmeel_prefixes)
      string(REPLACE ":" ";" varnel_cmeel_prefixes "${varnel_cmeel_prefixes}")
      find_package(Eigen3 3.4 QUIET NO_MODULE PATHS ${varnel_cmeel_prefixes} NO_DEFAULT_PATH)
    endif()
  endif()
endif()
if(NOT Eigen3_FOUND)
  message(FATAL_ERROR "Eigen 3.4 is missing: install it with 'apt-get install libeigen3-dev', "
                      "or 'pip install cmeel-eigen' into the Python environment that builds")
endif()
