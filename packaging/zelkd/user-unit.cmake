# Run at install time (install(CODE) includes it with zelkd_program set to the
# installed zelkd under CMAKE_INSTALL_PREFIX): writes the user unit with that
# absolute path and installs it into <prefix>/share/systemd/user, which a
# user's systemd searches both under /usr (through XDG_DATA_DIRS) and under
# ~/.local (XDG_DATA_HOME): one rule for the package and a user's prefix.
if(NOT zelkd_program OR NOT zelkd_template OR NOT zelkd_work_dir)
    message(FATAL_ERROR "user-unit.cmake: zelkd_program, zelkd_template and zelkd_work_dir are required")
endif()
if(zelkd_program MATCHES "[\n\r]")
    message(FATAL_ERROR "The installation prefix holds a line break; no unit can start zelkd there")
endif()

# ExecStart's program as one double-quoted word: a backslash and a quote take
# a backslash; % (specifiers) and $ (variables) double.
set(word "${zelkd_program}")
string(REPLACE "\\" "\\\\" word "${word}")
string(REPLACE "\"" "\\\"" word "${word}")
string(REPLACE "%" "%%" word "${word}")
string(REPLACE "$" "$$" word "${word}")
set(ZELKD_PROGRAM "${word}")

configure_file("${zelkd_template}" "${zelkd_work_dir}/zelkd.service" @ONLY)
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/share/systemd/user" TYPE FILE
    FILES "${zelkd_work_dir}/zelkd.service")
