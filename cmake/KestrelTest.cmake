# kestrel_add_test(NAME name SOURCES files... [LIBS libraries...] [GUI])
#
# One GoogleTest executable, discovered by CTest test by test (60 s to list them, 600 s for
# each). Without GUI it takes gtest's main; with GUI it brings its own main, is moc'ed and
# runs on the offscreen platform.
function(kestrel_add_test)
  cmake_parse_arguments(PARSE_ARGV 0 ARG "GUI" "NAME" "SOURCES;LIBS")
  if(NOT ARG_NAME OR NOT ARG_SOURCES)
    message(FATAL_ERROR "kestrel_add_test needs NAME and SOURCES")
  endif()
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBS} kestrel_test_support kestrel_warnings)
  if(ARG_GUI)
    target_link_libraries(${ARG_NAME} PRIVATE GTest::gtest)
    set_target_properties(${ARG_NAME} PROPERTIES AUTOMOC ON)
    gtest_discover_tests(${ARG_NAME} DISCOVERY_TIMEOUT 60
      PROPERTIES TIMEOUT 600 ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
  else()
    target_link_libraries(${ARG_NAME} PRIVATE GTest::gtest_main)
    gtest_discover_tests(${ARG_NAME} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600)
  endif()
endfunction()
