# Writes the operation names the native planner knows into a Python module,
# so that the package reads them from the header that defines them instead
# of keeping a second copy. Run as: cmake -DHEADER=... -DOUTPUT=... -P this.
file(READ "${HEADER}" _text)
set(_module "\"\"\"Operation names of the native planner, generated at build time from its\nheader; do not edit.\"\"\"\n")
foreach(_pair "kChunkableOperations;CHUNKABLE_OPERATIONS"
              "kNonChunkableOperations;NON_CHUNKABLE_OPERATIONS")
  list(GET _pair 0 _cxx)
  list(GET _pair 1 _py)
  if(NOT _text MATCHES "${_cxx}\\[\\] = {([^}]*)}")
    message(FATAL_ERROR "${HEADER}: no ${_cxx}[] = {...} list of names")
  endif()
  string(REGEX MATCHALL "\"[^\"]*\"" _names "${CMAKE_MATCH_1}")
  list(LENGTH _names _count)
  if(_count EQUAL 0)
    message(FATAL_ERROR "${HEADER}: ${_cxx} lists no names")
  endif()
  list(JOIN _names ", " _joined)
  string(APPEND _module "${_py} = (${_joined},)\n")
endforeach()
file(WRITE "${OUTPUT}.tmp" "${_module}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
