# The server process: the class factory, the console components, start-up
# and registration (library korvane_server: everything but WinMain, so that
# tests can run the classes in-process), and ControlCenterServer.exe.
#
# A concern of ControlCenterComponent lives in ControlCenterComponent<Concern>.cpp
# and joins the library by its name; other server sources are listed below.
file(GLOB korvane_component_sources CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_LIST_DIR}/ControlCenterComponent*.cpp)
set(korvane_server_sources
  ${korvane_component_sources}
  ${CMAKE_CURRENT_LIST_DIR}/ControlCenterServer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CFactory.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ServerClassTable.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Registration.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ServerCommandLine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ServerApp.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CMainFrame.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BoardCommand.cpp
)
add_library(korvane_server STATIC ${korvane_server_sources})
korvane_warnings(korvane_server)
target_include_directories(korvane_server PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(korvane_server PUBLIC
  korvane_common korvane_framework korvane_interfaces korvane_socket korvane_errorlog
  ole32 oleaut32 uuid advapi32 user32)
# Client notifications, the bootp client and the configuration lock.
target_link_libraries(korvane_server PUBLIC korvane_notifications)

# The board records of the active set and the registry helpers.
target_link_libraries(korvane_server PUBLIC korvane_registry)

add_executable(ControlCenterServer WIN32 ${CMAKE_CURRENT_LIST_DIR}/ServerMain.cpp)
korvane_warnings(ControlCenterServer)
target_link_libraries(ControlCenterServer PRIVATE korvane_server)

# In-process: the factory, the console components, the command line.
set(korvane_server_unit_tests
  ${CMAKE_CURRENT_LIST_DIR}/tests/FactoryTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tests/ServerCommandLineTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tests/ServerTestSupport.cpp)
# Real processes: a client of the running server, and registration runs.
set(korvane_server_process_tests
  ${CMAKE_CURRENT_LIST_DIR}/tests/ServerProcessTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tests/ServerTestSupport.cpp)
set(korvane_server_registration_tests
  ${CMAKE_CURRENT_LIST_DIR}/tests/RegistrationTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tests/ServerTestSupport.cpp)

# What RegisterServerForTests registers when it is built (those modules
# are added after this one, so their folders tell).
set(korvane_server_test_programs ControlCenterServer KorvanePS)
foreach(program BootpServer QRBDAOServer)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${program}/CMakeLists.txt)
    list(APPEND korvane_server_test_programs ${program})
  endif()
endforeach()

if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/tests/FactoryTest.cpp)
  korvane_add_test(server_factory_tests
    SOURCES ${korvane_server_unit_tests}
    LIBS korvane_server)
  add_dependencies(server_factory_tests ${korvane_server_test_programs})
endif()
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/tests/ServerProcessTest.cpp)
  korvane_add_test(server_process_tests
    SOURCES ${korvane_server_process_tests}
    LIBS korvane_common korvane_interfaces)
  add_dependencies(server_process_tests ${korvane_server_test_programs})
endif()
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/tests/RegistrationTest.cpp)
  korvane_add_test(server_registration_tests
    SOURCES ${korvane_server_registration_tests}
    LIBS korvane_common korvane_interfaces)
  add_dependencies(server_registration_tests ${korvane_server_test_programs})
endif()

# The client service: in-process against a test installation, and through
# COM with the real server, the database server keeping the error table.
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/tests/ComponentStateTest.cpp)
  korvane_add_test(component_state_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/ComponentStateTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/ComponentTestSupport.cpp
    LIBS korvane_server ws2_32)
endif()
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/tests/ClientServiceTest.cpp)
  korvane_add_test(client_service_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/ClientServiceTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/ComponentTestSupport.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/ServerTestSupport.cpp
    LIBS korvane_common korvane_interfaces korvane_dao_testsupport korvane_sqlite3 ws2_32)
  add_dependencies(client_service_tests ControlCenterServer KorvanePS QRBDAOServer)
  if(TARGET BootpServer)
    add_dependencies(client_service_tests BootpServer)
  endif()
endif()

# The set change and restore workers (library korvane_setchange): plain
# classes without COM, so that their tests run them in-process against a
# private installation and registry subtree.
add_library(korvane_setchange STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ProfileFile.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CodeCrcCache.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ConfigurationWorker.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SetChangeWorker.cpp
  ${CMAKE_CURRENT_LIST_DIR}/RestoreWorker.cpp
)
korvane_warnings(korvane_setchange)
target_include_directories(korvane_setchange PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(korvane_setchange PUBLIC
  korvane_setfiles korvane_registry korvane_notifications korvane_common)
target_link_libraries(korvane_server PUBLIC korvane_setchange)

if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/tests/SetChangeWorkerTest.cpp)
  korvane_add_test(setchange_worker_tests
    SOURCES
      ${CMAKE_CURRENT_LIST_DIR}/tests/SetChangeWorkerTest.cpp
      ${CMAKE_CURRENT_LIST_DIR}/tests/RestoreWorkerTest.cpp
      ${CMAKE_CURRENT_LIST_DIR}/tests/SetChangeProfileTest.cpp
    LIBS korvane_setchange)
endif()

# Set changes and restores through COM with the real server, in a test
# installation; the bootp component inside the server answers the resets.
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/tests/SetChangeProcessTest.cpp AND
   EXISTS ${CMAKE_CURRENT_LIST_DIR}/tests/ComponentTestSupport.cpp)
  set(korvane_setchange_process_support
    ${CMAKE_CURRENT_LIST_DIR}/tests/ComponentTestSupport.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/ServerTestSupport.cpp)
  korvane_add_test(setchange_process_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/SetChangeProcessTest.cpp
            ${korvane_setchange_process_support}
    LIBS korvane_setchange korvane_interfaces ws2_32)
  # Waits out the bootp server's two minutes.
  korvane_add_test(setchange_slow_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/SetChangeSlowTest.cpp
            ${korvane_setchange_process_support}
    LIBS korvane_setchange korvane_interfaces ws2_32
    LABELS slow TIMEOUT 400)
  foreach(test setchange_process_tests setchange_slow_tests)
    add_dependencies(${test} ControlCenterServer KorvanePS)
    foreach(program BootpServer QRBDAOServer)
      if(EXISTS ${CMAKE_SOURCE_DIR}/${program}/CMakeLists.txt)
        add_dependencies(${test} ${program})
      endif()
    endforeach()
  endforeach()
endif()
