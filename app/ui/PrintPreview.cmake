# The print preview (included from this folder's CMakeLists.txt): the dialog
# that shows a G-code file before it is sent, its layer view, and the
# analysis and optimizer of app/gcode that it runs off the GUI thread.
add_library(zelkui_preview STATIC
    ${CMAKE_CURRENT_LIST_DIR}/LayerView.cpp
    ${CMAKE_CURRENT_LIST_DIR}/LayerView.h
    ${CMAKE_CURRENT_LIST_DIR}/PrintPreviewDialog.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PrintPreviewDialog.h
    ${CMAKE_CURRENT_LIST_DIR}/PrintPreviewDialog.ui)
target_include_directories(zelkui_preview PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(zelkui_preview PUBLIC zelkgcode zelkshell Qt5::Widgets Qt5::Concurrent)
set_target_properties(zelkui_preview PROPERTIES AUTOMOC ON AUTOUIC ON)
zelk_warnings(zelkui_preview)
