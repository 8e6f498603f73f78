# The installer window and the start modes of the self-installing program
# (included from this folder's CMakeLists.txt). The header image is drawn in
# images/src/logoWithName.svg and rendered by zelk_render_install_images.
add_library(zelkui_install STATIC
    ${CMAKE_CURRENT_LIST_DIR}/MacInstallWindow.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MacInstallWindow.h
    ${CMAKE_CURRENT_LIST_DIR}/MacInstallWindow.ui
    ${CMAKE_CURRENT_LIST_DIR}/StartModes.cpp
    ${CMAKE_CURRENT_LIST_DIR}/StartModes.h
    ${CMAKE_CURRENT_LIST_DIR}/install.qrc)
target_include_directories(zelkui_install PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(zelkui_install PUBLIC zelkshell Qt5::Widgets Qt5::Concurrent)
set_target_properties(zelkui_install PROPERTIES AUTOMOC ON AUTOUIC ON AUTORCC ON)
zelk_warnings(zelkui_install)
