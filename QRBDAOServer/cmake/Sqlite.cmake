# SQLite, the storage engine behind the database server, compiled from its
# single-file amalgamation. The amalgamation is not kept in our tree: it is
# taken from a pinned registry package at configure time and checked against
# the sums below, both now and before every build of the library, so that a
# changed or truncated download can never be compiled in.
#
# Offline builds: set KORVANE_SQLITE_TARBALL to an already downloaded
# better-sqlite3-12.11.1.tgz.

set(KORVANE_SQLITE_PACKAGE "better-sqlite3@12.11.1")
set(KORVANE_SQLITE_C_SHA256 "60d2f39a3726cd6b9021da6f4e868608d66fbb6528a9f513dc8ffcc640493422")
set(KORVANE_SQLITE_H_SHA256 "9e69a1353a4288450b0d5239ede11fc7f1f4c8e5eb07491fc8317eacb5b7de7e")
set(KORVANE_SQLITE_TARBALL "" CACHE FILEPATH "A local better-sqlite3-12.11.1.tgz to take SQLite from instead of the npm registry")

set(SQLITE_DIR ${CMAKE_BINARY_DIR}/third_party/sqlite3)

function(korvane_sqlite_is_verified result)
  set(ok TRUE)
  foreach(pair "sqlite3.c;${KORVANE_SQLITE_C_SHA256}" "sqlite3.h;${KORVANE_SQLITE_H_SHA256}")
    list(GET pair 0 name)
    list(GET pair 1 expected)
    if(NOT EXISTS ${SQLITE_DIR}/${name})
      set(ok FALSE)
    else()
      file(SHA256 ${SQLITE_DIR}/${name} actual)
      if(NOT actual STREQUAL expected)
        set(ok FALSE)
      endif()
    endif()
  endforeach()
  set(${result} ${ok} PARENT_SCOPE)
endfunction()

korvane_sqlite_is_verified(sqlite_ready)
if(NOT sqlite_ready)
  set(download ${CMAKE_BINARY_DIR}/third_party/download)
  file(REMOVE_RECURSE ${download})
  file(MAKE_DIRECTORY ${download})
  if(KORVANE_SQLITE_TARBALL)
    set(tarball ${KORVANE_SQLITE_TARBALL})
  else()
    find_program(KORVANE_NPM npm)
    if(NOT KORVANE_NPM)
      message(FATAL_ERROR "SQLite: npm is needed to fetch ${KORVANE_SQLITE_PACKAGE} (apt-get install npm), or set KORVANE_SQLITE_TARBALL")
    endif()
    message(STATUS "SQLite: fetching ${KORVANE_SQLITE_PACKAGE}")
    execute_process(COMMAND ${KORVANE_NPM} pack ${KORVANE_SQLITE_PACKAGE} --silent
      WORKING_DIRECTORY ${download}
      RESULT_VARIABLE npm_result OUTPUT_VARIABLE npm_output ERROR_VARIABLE npm_error)
    file(GLOB tarball ${download}/*.tgz)
    if(NOT npm_result EQUAL 0 OR NOT tarball)
      message(FATAL_ERROR "SQLite: npm pack ${KORVANE_SQLITE_PACKAGE} failed (${npm_result}): ${npm_error}")
    endif()
  endif()
  file(ARCHIVE_EXTRACT INPUT ${tarball} DESTINATION ${download}/extracted
    PATTERNS package/deps/sqlite3/sqlite3.c package/deps/sqlite3/sqlite3.h)
  file(MAKE_DIRECTORY ${SQLITE_DIR})
  foreach(name sqlite3.c sqlite3.h)
    if(NOT EXISTS ${download}/extracted/package/deps/sqlite3/${name})
      message(FATAL_ERROR "SQLite: ${name} is missing from ${tarball}")
    endif()
    file(COPY ${download}/extracted/package/deps/sqlite3/${name} DESTINATION ${SQLITE_DIR})
  endforeach()
  file(REMOVE_RECURSE ${download})
  korvane_sqlite_is_verified(sqlite_ready)
  if(NOT sqlite_ready)
    file(REMOVE ${SQLITE_DIR}/sqlite3.c ${SQLITE_DIR}/sqlite3.h)
    message(FATAL_ERROR "SQLite: the SHA-256 of sqlite3.c or sqlite3.h from ${KORVANE_SQLITE_PACKAGE} does not match the pinned sums")
  endif()
endif()

# The same check again at build time, whenever the files change after
# configuration.
add_custom_command(
  OUTPUT ${SQLITE_DIR}/verified.stamp
  COMMAND ${CMAKE_COMMAND} -DFILE=${SQLITE_DIR}/sqlite3.c -DSHA256=${KORVANE_SQLITE_C_SHA256}
          -P ${CMAKE_CURRENT_LIST_DIR}/VerifySha256.cmake
  COMMAND ${CMAKE_COMMAND} -DFILE=${SQLITE_DIR}/sqlite3.h -DSHA256=${KORVANE_SQLITE_H_SHA256}
          -P ${CMAKE_CURRENT_LIST_DIR}/VerifySha256.cmake
  COMMAND ${CMAKE_COMMAND} -E touch ${SQLITE_DIR}/verified.stamp
  DEPENDS ${SQLITE_DIR}/sqlite3.c ${SQLITE_DIR}/sqlite3.h ${CMAKE_CURRENT_LIST_FILE}
  COMMENT "Checking the SHA-256 of the SQLite amalgamation")
add_custom_target(korvane_sqlite3_verified DEPENDS ${SQLITE_DIR}/verified.stamp)

# Third-party code: none of our warning options, always optimised (the
# database server spends its time in here).
add_library(korvane_sqlite3 STATIC ${SQLITE_DIR}/sqlite3.c)
add_dependencies(korvane_sqlite3 korvane_sqlite3_verified)
target_include_directories(korvane_sqlite3 SYSTEM PUBLIC ${SQLITE_DIR})
target_compile_options(korvane_sqlite3 PRIVATE -w -O2)
target_compile_definitions(korvane_sqlite3 PRIVATE
  SQLITE_THREADSAFE=1
  SQLITE_DEFAULT_MEMSTATUS=0
  SQLITE_OMIT_LOAD_EXTENSION
  SQLITE_OMIT_DEPRECATED)
