# cmake -DFILE=path -DSHA256=sum -P VerifySha256.cmake: fails unless the
# file's SHA-256 is the given sum.
file(SHA256 ${FILE} actual)
if(NOT actual STREQUAL SHA256)
  message(FATAL_ERROR "${FILE}: SHA-256 ${actual} does not match the pinned ${SHA256}")
endif()
