# The guided procedures (included from this folder's CMakeLists.txt): the
# temperature gauge, the filament load and unload wizards, the out-of-filament
# recovery, the test print and the printer logs. Their images are drawn in
# images/src and rendered by zelk_render_images; the test print they send is
# written into the build's Resources by tools/test-print.
add_library(zelkui_guided STATIC
    ${CMAKE_CURRENT_LIST_DIR}/CircularGauge.cpp
    ${CMAKE_CURRENT_LIST_DIR}/CircularGauge.h
    ${CMAKE_CURRENT_LIST_DIR}/FilamentDialogs.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FilamentDialogs.h
    ${CMAKE_CURRENT_LIST_DIR}/FilamentLoadWidget.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FilamentLoadWidget.h
    ${CMAKE_CURRENT_LIST_DIR}/FilamentLoadWidget.ui
    ${CMAKE_CURRENT_LIST_DIR}/FilamentUnloadWidget.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FilamentUnloadWidget.h
    ${CMAKE_CURRENT_LIST_DIR}/FilamentUnloadWidget.ui
    ${CMAKE_CURRENT_LIST_DIR}/FilamentWidget.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FilamentWidget.h
    ${CMAKE_CURRENT_LIST_DIR}/GuidedResources.h
    ${CMAKE_CURRENT_LIST_DIR}/LogsDialog.cpp
    ${CMAKE_CURRENT_LIST_DIR}/LogsDialog.h
    ${CMAKE_CURRENT_LIST_DIR}/LogsDialog.ui
    ${CMAKE_CURRENT_LIST_DIR}/OutOfFilamentDialog.cpp
    ${CMAKE_CURRENT_LIST_DIR}/OutOfFilamentDialog.h
    ${CMAKE_CURRENT_LIST_DIR}/OutOfFilamentDialog.ui
    ${CMAKE_CURRENT_LIST_DIR}/TestPrintDialog.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TestPrintDialog.h
    ${CMAKE_CURRENT_LIST_DIR}/TestPrintDialog.ui
    ${CMAKE_CURRENT_LIST_DIR}/guided.qrc)
target_include_directories(zelkui_guided PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(zelkui_guided PUBLIC zelkui_upload zelkdevice zelkgcode zelkshell Qt5::Widgets)
set_target_properties(zelkui_guided PROPERTIES AUTOMOC ON AUTOUIC ON AUTORCC ON)
# What the test print dialog sends, next to the program.
add_dependencies(zelkui_guided zelk_test_print)
zelk_warnings(zelkui_guided)
