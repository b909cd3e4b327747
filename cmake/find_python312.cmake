# The Python 3.12 whose headers the test scaffolding compiles against and whose
# library the Linux tests embed. scripts/find_python312.py does the search, the
# same one the scripts and make_python_home.py use; the host's python3 (from
# PATH) runs it. Sets TINDRAL_PYTHON_PREFIX (empty when none was found) and
# TINDRAL_PYTHON_INCLUDE (a cache entry of that name overrides the headers).

find_program(TINDRAL_HOST_PYTHON NAMES python3 REQUIRED
             DOC "The host's Python 3, which runs the build's Python tools")
set(TINDRAL_PYTHON_INCLUDE "" CACHE PATH "Python 3.12 include folder (holding cpython/initconfig.h); empty: search")

execute_process(COMMAND ${TINDRAL_HOST_PYTHON} ${CMAKE_SOURCE_DIR}/scripts/find_python312.py
                OUTPUT_VARIABLE TINDRAL_PYTHON_PREFIX ERROR_VARIABLE find_python_error
                RESULT_VARIABLE find_python_rc
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_STRIP_TRAILING_WHITESPACE)
if(find_python_rc EQUAL 0)
  message(STATUS "Python 3.12: ${TINDRAL_PYTHON_PREFIX}")
  if(NOT TINDRAL_PYTHON_INCLUDE)
    set(TINDRAL_PYTHON_INCLUDE ${TINDRAL_PYTHON_PREFIX}/include/python3.12)
  endif()
else()
  set(TINDRAL_PYTHON_PREFIX "")
  message(WARNING "${find_python_error}")
endif()
