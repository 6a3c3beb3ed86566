# Configuration set files: validation and complete.cfg, list tables and the
# per-board list selection. Plain C++ with no COM, so that the set change
# worker and the set file tool share one implementation.
add_library(korvane_setfiles STATIC
  ${CMAKE_CURRENT_LIST_DIR}/Crc16.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SetFile.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ListTable.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ConfigurationContext.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DescriptionFiles.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BoardLists.cpp
)
korvane_warnings(korvane_setfiles)
target_include_directories(korvane_setfiles PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(korvane_setfiles PUBLIC korvane_common user32)

if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/tests/SetFileTest.cpp)
  korvane_add_test(setfile_tests
    SOURCES
      ${CMAKE_CURRENT_LIST_DIR}/tests/SetFileTest.cpp
      ${CMAKE_CURRENT_LIST_DIR}/tests/ListTableTest.cpp
      ${CMAKE_CURRENT_LIST_DIR}/tests/BoardListsTest.cpp
      ${CMAKE_CURRENT_LIST_DIR}/tests/SetFileRobustnessTest.cpp
    LIBS korvane_setfiles)
endif()
