# Run at install time (install(CODE) includes it with zelk_helper set to the
# installed install helper's path under CMAKE_INSTALL_PREFIX): writes the
# polkit action that names that program, so that pkexec's password dialog
# says what it is for, and installs it into <prefix>/share/polkit-1/actions
# (polkit reads /usr's: the Debian package's).
if(NOT zelk_helper OR NOT zelk_template OR NOT zelk_work_dir)
    message(FATAL_ERROR "polkit-action.cmake: zelk_helper, zelk_template and zelk_work_dir are required")
endif()
set(path "${zelk_helper}")
string(REPLACE "&" "&amp;" path "${path}")
string(REPLACE "<" "&lt;" path "${path}")
string(REPLACE ">" "&gt;" path "${path}")
set(ZELK_INSTALL_HELPER "${path}")
configure_file("${zelk_template}" "${zelk_work_dir}/com.corvane.zelk.install.policy" @ONLY)
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/share/polkit-1/actions" TYPE FILE
    FILES "${zelk_work_dir}/com.corvane.zelk.install.policy")
