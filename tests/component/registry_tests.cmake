# Class registry, object creation, registration scripts and qreg.
# Included by tests/component/CMakeLists.txt.

# Component libraries the creation tests load with dlopen.
add_library(quillon_fixture_component SHARED ${CMAKE_CURRENT_LIST_DIR}/fixtures/fixture_component.cc)
target_link_libraries(quillon_fixture_component PRIVATE quillon::runtime)
add_library(quillon_fixture_no_entry SHARED ${CMAKE_CURRENT_LIST_DIR}/fixtures/no_entry_point.cc)

add_executable(registry_test ${CMAKE_CURRENT_LIST_DIR}/registry_test.cc)
target_include_directories(registry_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/fixtures)
target_link_libraries(registry_test PRIVATE quillon::runtime qserver_impl qclient_impl
  GTest::gtest_main ${CMAKE_DL_LIBS})
target_compile_definitions(registry_test PRIVATE
  QUILLON_FIXTURE_COMPONENT="$<TARGET_FILE:quillon_fixture_component>"
  QUILLON_FIXTURE_NO_ENTRY="$<TARGET_FILE:quillon_fixture_no_entry>")
add_dependencies(registry_test quillon_fixture_component quillon_fixture_no_entry)
gtest_discover_tests(registry_test DISCOVERY_TIMEOUT 60)

if(TARGET qreg)
  add_test(NAME qreg_end_to_end
    COMMAND ${CMAKE_COMMAND}
      -DQREG=$<TARGET_FILE:qreg>
      -DFIXTURE=$<TARGET_FILE:quillon_fixture_component>
      -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/qreg_end_to_end
      -P ${CMAKE_CURRENT_LIST_DIR}/qreg_end_to_end.cmake)
endif()
