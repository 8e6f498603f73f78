# The firmware update dialog (included from this folder's CMakeLists.txt):
# its form, its background image (drawn in images/src/FirmwareUpload.svg)
# and the DFU flashing of app/firmware.
add_library(zelkui_firmware STATIC
    ${CMAKE_CURRENT_LIST_DIR}/FirmwareUpdateDialog.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FirmwareUpdateDialog.h
    ${CMAKE_CURRENT_LIST_DIR}/FirmwareUpdateDialog.ui
    ${CMAKE_CURRENT_LIST_DIR}/firmwareupdate.qrc)
target_include_directories(zelkui_firmware PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(zelkui_firmware PUBLIC
    zelkfirmware zelkdevice zelkshell Qt5::Widgets Qt5::Concurrent)
set_target_properties(zelkui_firmware PROPERTIES AUTOMOC ON AUTOUIC ON AUTORCC ON)
# What the dialog runs and flashes, next to the program.
add_dependencies(zelkui_firmware zelk_dfu_util zelk_firmware_dfu)
zelk_warnings(zelkui_firmware)
