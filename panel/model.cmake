# The panel's logic without a window: the device tree, the side controls and
# what every control writes to config.ini. The dialog is a thin layer over it.
# The named events come from the link library the driver uses too, so both
# programs open them the same way.
add_library(panel_model STATIC
  ${CMAKE_CURRENT_LIST_DIR}/device_tree_model.cpp
  ${CMAKE_CURRENT_LIST_DIR}/device_tree_info.cpp
  ${CMAKE_CURRENT_LIST_DIR}/settings_controls_ranges.cpp
  ${CMAKE_CURRENT_LIST_DIR}/settings_controls_editor.cpp)
target_include_directories(panel_model PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(panel_model PUBLIC devices link config diagnostics)
telvara_strict(panel_model)
