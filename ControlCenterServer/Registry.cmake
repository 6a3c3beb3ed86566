# Registry persistence: the registry helpers, the board records of the
# active set and the REGEDIT4 backup of the system's subtree. Plain C++
# (no COM), so that the component, the set change worker and the tools can
# all use it.
set(korvane_registry_sources
  ${CMAKE_CURRENT_LIST_DIR}/Registry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/RegistryBackup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BoardRecord.cpp
)
set(korvane_registry_tests
  ${CMAKE_CURRENT_LIST_DIR}/tests/RegistryTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tests/RegistryBackupTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tests/BoardListLoadTest.cpp
)
add_library(korvane_registry STATIC ${korvane_registry_sources})
korvane_warnings(korvane_registry)
target_include_directories(korvane_registry PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(korvane_registry PUBLIC korvane_common advapi32)

korvane_add_test(registry_tests
  SOURCES ${korvane_registry_tests}
  LIBS korvane_registry)
