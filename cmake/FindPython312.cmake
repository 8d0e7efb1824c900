# Locates a Python 3.12 interpreter with headers.
#
# Order: -DPython_EXECUTABLE=... if given, else a working `python3.12` on PATH,
# else a pyenv-installed 3.12 (pyenv shims on PATH may exist without one being
# selected, so each candidate is run before it is trusted).

function(_velkora_python_ok exe out)
  set(${out} FALSE PARENT_SCOPE)
  if(NOT exe OR NOT EXISTS "${exe}")
    return()
  endif()
  execute_process(
    COMMAND "${exe}" -c "import sys, sysconfig, os; v=sys.version_info; inc=sysconfig.get_paths()['include']; print(f'{v.major}.{v.minor}'); print(os.path.exists(os.path.join(inc, 'Python.h')))"
    OUTPUT_VARIABLE _probe RESULT_VARIABLE _rc ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(_rc EQUAL 0 AND _probe MATCHES "^3\\.12\nTrue$")
    set(${out} TRUE PARENT_SCOPE)
  endif()
endfunction()

if(Python_EXECUTABLE)
  _velkora_python_ok("${Python_EXECUTABLE}" _ok)
  if(NOT _ok)
    message(FATAL_ERROR
      "Python_EXECUTABLE=${Python_EXECUTABLE} is not a Python 3.12 with development headers.")
  endif()
else()
  set(_candidates)
  find_program(_on_path NAMES python3.12 NO_CACHE)
  if(_on_path)
    list(APPEND _candidates "${_on_path}")
  endif()
  set(_pyenv_roots "$ENV{PYENV_ROOT}" "$ENV{HOME}/.pyenv")
  execute_process(COMMAND pyenv root OUTPUT_VARIABLE _pyenv_root
                  RESULT_VARIABLE _rc ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(_rc EQUAL 0)
    list(PREPEND _pyenv_roots "${_pyenv_root}")
  endif()
  foreach(_root IN LISTS _pyenv_roots)
    if(_root)
      file(GLOB _found "${_root}/versions/3.12*/bin/python3.12")
      list(SORT _found COMPARE NATURAL ORDER DESCENDING)
      list(APPEND _candidates ${_found})
    endif()
  endforeach()
  foreach(_exe IN LISTS _candidates)
    _velkora_python_ok("${_exe}" _ok)
    if(_ok)
      set(Python_EXECUTABLE "${_exe}" CACHE FILEPATH "Python 3.12 interpreter" FORCE)
      break()
    endif()
  endforeach()
  if(NOT Python_EXECUTABLE)
    message(FATAL_ERROR
      "No Python 3.12 with development headers was found: neither a working "
      "python3.12 on PATH nor a pyenv-installed 3.12. Install one, or pass "
      "-DPython_EXECUTABLE=/path/to/python3.12.")
  endif()
endif()

find_package(Python 3.12 EXACT REQUIRED COMPONENTS Interpreter Development.Module)
message(STATUS "Building against Python ${Python_VERSION}: ${Python_EXECUTABLE}")
