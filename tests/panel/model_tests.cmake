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
telvara_add_test(device_tree_dialog_tests DISPLAY
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/panel_model_support.cpp ${CMAKE_CURRENT_LIST_DIR}/dialog_test_fixture.cpp
          ${CMAKE_CURRENT_LIST_DIR}/device_tree_dialog_tests.cpp ${CMAKE_CURRENT_LIST_DIR}/device_pane_dialog_tests.cpp
          $<TARGET_OBJECTS:panel_resources>
  LIBS panel_core kssim comctl32
  LOCKS appdata
  ENVIRONMENT LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8)

# The real panel beside the simulated-device driver, each in a process of its
# own (the driver is built in the 64-bit tree only). It is built beside the
# end-to-end helpers, whose programs it starts; like them it lives two
# folders below the build tree's root, where it finds the panel's builds.
if(TELVARA_TARGET STREQUAL "x64")
  set(e2e_dir ${CMAKE_SOURCE_DIR}/tests/endtoend)
  telvara_add_test(settings_controls_driver_tests DISPLAY
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/settings_controls_driver_tests.cpp ${e2e_dir}/e2e_support.cpp
            ${e2e_dir}/delay_change_check.cpp
            ${e2e_dir}/import_patch.cpp ${CMAKE_CURRENT_LIST_DIR}/panel_process.cpp
    LIBS telvara_core kssim import_slot ole32 uuid advapi32 user32
    LOCKS asio-registry appdata panel-instance)
  target_include_directories(settings_controls_driver_tests PRIVATE ${e2e_dir} ${CMAKE_SOURCE_DIR}/panel)
  target_compile_definitions(settings_controls_driver_tests PRIVATE
    E2E_SIM_DRIVER="$<TARGET_FILE:telvara_x64_sim>"
    E2E_HOST_PROGRAM="$<TARGET_FILE:telvara-host>"
    E2E_SETTINGS_WRITER_X64="" E2E_SETTINGS_WRITER_X86="")
  set_target_properties(settings_controls_driver_tests PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/endtoend)
  add_dependencies(settings_controls_driver_tests e2e_helper telvara_x64_sim telvara-host telvarapanel_sim)
endif()
