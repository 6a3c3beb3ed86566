# Client notifications, bootp coordination and the configuration lock
# (library korvane_notifications), with their tests and the helper program
# the tests start as a second process.
add_library(korvane_notifications STATIC
  ${CMAKE_SOURCE_DIR}/common/source/Win32/Notification.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ServerLock.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ClientNotifications.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BootpClient.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BootpReset.cpp
)
korvane_warnings(korvane_notifications)
target_include_directories(korvane_notifications PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(korvane_notifications PUBLIC korvane_common korvane_interfaces ole32 oleaut32 uuid)

# Plays the other processes of the system: holds a named semaphore, answers
# or fakes the bootp reset handshake.
add_executable(NotificationTestHelper ${CMAKE_CURRENT_LIST_DIR}/tests/NotificationTestHelper.cpp)
korvane_warnings(NotificationTestHelper)
target_link_libraries(NotificationTestHelper PRIVATE korvane_common korvane_interfaces)

korvane_add_test(notification_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/NotificationTest.cpp
  LIBS korvane_notifications)

korvane_add_test(notification_protocol_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/NotificationProtocolTest.cpp
  LIBS korvane_notifications)

korvane_add_test(bootp_client_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/BootpClientTest.cpp
  LIBS korvane_notifications)
add_dependencies(bootp_client_tests NotificationTestHelper)

korvane_add_test(serverlock_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/ServerLockTest.cpp
  LIBS korvane_notifications)
add_dependencies(serverlock_tests NotificationTestHelper)

# Waits out the lock's fixed minute.
korvane_add_test(serverlock_slow_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/ServerLockSlowTest.cpp
  LIBS korvane_notifications
  LABELS slow TIMEOUT 240)
add_dependencies(serverlock_slow_tests NotificationTestHelper)

# The real server started by COM, this process and the helper as its
# clients, our bootp server component inside it.
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/tests/ComponentTestSupport.cpp)
  korvane_add_test(notification_process_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/NotificationProcessTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/ComponentTestSupport.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/ServerTestSupport.cpp
    LIBS korvane_notifications korvane_dao_testsupport ws2_32)
  add_dependencies(notification_process_tests
    ControlCenterServer KorvanePS QRBDAOServer BootpServer NotificationTestHelper)
endif()
