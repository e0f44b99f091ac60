# The panel's logic without a window. The tree tests need no settings file;
# the settings-control tests write config.ini in the redirected
# application-data folder (the "appdata" lock) and run with code page 936.
telvara_add_test(panel_tree_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/panel_model_support.cpp
          ${CMAKE_CURRENT_LIST_DIR}/device_tree_model_tests.cpp
          ${CMAKE_CURRENT_LIST_DIR}/device_tree_info_tests.cpp
          ${CMAKE_CURRENT_LIST_DIR}/settings_controls_ranges_tests.cpp
  LIBS panel_model)
telvara_add_test(panel_settings_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/panel_model_support.cpp
          ${CMAKE_CURRENT_LIST_DIR}/settings_controls_editor_tests.cpp
  LIBS panel_model
  LOCKS appdata
  ENVIRONMENT LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8)

# The real dialog in this process under an X display of its own, driven with
# window messages over simulated devices.
add_executable(device_tree_dialog_tests ${CMAKE_CURRENT_LIST_DIR}/panel_model_support.cpp
  ${CMAKE_CURRENT_LIST_DIR}/device_tree_dialog_tests.cpp $<TARGET_OBJECTS:panel_resources>)
target_link_libraries(device_tree_dialog_tests PRIVATE testsupport GTest::gmock panel_core kssim comctl32)
telvara_strict(device_tree_dialog_tests)
add_test(NAME device_tree_dialog_tests COMMAND ${CMAKE_SOURCE_DIR}/tools/with-xvfb.sh
         ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:device_tree_dialog_tests>)
set_property(GLOBAL APPEND PROPERTY TELVARA_TEST_PROGRAMS device_tree_dialog_tests)
set_tests_properties(device_tree_dialog_tests PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300 RESOURCE_LOCK appdata
  ENVIRONMENT "LANG=zh_CN.UTF-8;LC_ALL=zh_CN.UTF-8")

# The real panel beside the running simulated-device driver, each in a
# process of its own (the driver is built in the 64-bit tree only). It runs
# beside the end-to-end helpers, whose programs it starts.
if(TELVARA_TARGET STREQUAL "x64")
  set(e2e_dir ${CMAKE_SOURCE_DIR}/tests/endtoend)
  add_executable(settings_controls_driver_tests ${CMAKE_CURRENT_LIST_DIR}/settings_controls_driver_tests.cpp
    ${e2e_dir}/e2e_support.cpp ${e2e_dir}/import_patch.cpp)
  target_include_directories(settings_controls_driver_tests PRIVATE ${e2e_dir})
  target_link_libraries(settings_controls_driver_tests PRIVATE testsupport GTest::gmock telvara_core kssim
    ole32 uuid advapi32 user32)
  target_compile_definitions(settings_controls_driver_tests PRIVATE
    E2E_SIM_DRIVER="$<TARGET_FILE:telvara_x64_sim>"
    E2E_HOST_PROGRAM="$<TARGET_FILE:telvara-host>"
    E2E_SETTINGS_WRITER=""
    PANEL_SIM_PROGRAM="$<TARGET_FILE:telvarapanel_sim>")
  set_target_properties(settings_controls_driver_tests PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/endtoend)
  telvara_strict(settings_controls_driver_tests)
  add_dependencies(settings_controls_driver_tests e2e_helper telvara_x64_sim telvarapanel_sim)
  add_test(NAME settings_controls_driver_tests COMMAND ${CMAKE_SOURCE_DIR}/tools/with-xvfb.sh
           ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:settings_controls_driver_tests>)
  set_property(GLOBAL APPEND PROPERTY TELVARA_TEST_PROGRAMS settings_controls_driver_tests)
  set_tests_properties(settings_controls_driver_tests PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300
    RESOURCE_LOCK "asio-registry;appdata;panel-instance")
endif()
