# Tests of the engine's result-code messages. Built from the message sources directly, so they do
# not need the rest of the engine. The reference texts are Windows-1251 bytes in messages.golden.
add_executable(ccom_message_tests
  ${CMAKE_CURRENT_LIST_DIR}/messages_test.cc
  ${PROJECT_SOURCE_DIR}/src/ccom/messages.cc
)
target_include_directories(ccom_message_tests PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_compile_definitions(ccom_message_tests
  PRIVATE VORNAK2_MESSAGES_GOLDEN="${CMAKE_CURRENT_LIST_DIR}/messages.golden")
target_link_libraries(ccom_message_tests PRIVATE vornak2_support GTest::gtest_main)
gtest_discover_tests(ccom_message_tests)
