# The error log (LogErrorToDatabase): records error texts in the "QRB Errors"
# table through the database access layer.
add_library(korvane_errorlog STATIC ${CMAKE_CURRENT_LIST_DIR}/ErrorLog.cpp)
korvane_warnings(korvane_errorlog)
target_include_directories(korvane_errorlog PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(korvane_errorlog PUBLIC korvane_dao korvane_common)

if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/tests/ErrorLogTest.cpp)
  korvane_add_test(errorlog_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/ErrorLogTest.cpp
    LIBS korvane_errorlog korvane_dao_testsupport korvane_sqlite3)
  add_dependencies(errorlog_tests QRBDAOServer KorvanePS)
endif()
