# cmake -DFILE=path -DLIMIT=bytes -P check-size.cmake
# Fails when FILE is missing or larger than LIMIT bytes.
if(NOT EXISTS "${FILE}")
  message(FATAL_ERROR "${FILE} is missing")
endif()
file(SIZE "${FILE}" _size)
if(_size GREATER LIMIT)
  message(FATAL_ERROR "${FILE} is ${_size} bytes, over its budget of ${LIMIT}")
endif()
message(STATUS "${FILE}: ${_size} bytes of ${LIMIT}")
