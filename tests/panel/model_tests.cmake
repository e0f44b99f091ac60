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
