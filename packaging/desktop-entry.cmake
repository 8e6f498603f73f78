# Run at install time (install(CODE) includes it with zelk_program set to the
# installed program's path under CMAKE_INSTALL_PREFIX): writes the desktop
# entry with that absolute path, so that the menu starts the program from any
# prefix, and installs it into <prefix>/share/applications.
if(NOT zelk_program OR NOT zelk_template OR NOT zelk_work_dir)
    message(FATAL_ERROR "desktop-entry.cmake: zelk_program, zelk_template and zelk_work_dir are required")
endif()
if(zelk_program MATCHES "[\n\r]")
    message(FATAL_ERROR "The installation prefix holds a line break; no desktop entry can start it")
endif()

# The Exec value: one quoted word; inside the quotes " ` $ \ take a
# backslash, then every backslash doubles (string escaping) and a literal %
# doubles (field codes).
set(word "${zelk_program}")
string(REPLACE "\\" "\\\\" word "${word}")
string(REPLACE "\"" "\\\"" word "${word}")
string(REPLACE "`" "\\`" word "${word}")
string(REPLACE "$" "\\$" word "${word}")
string(REPLACE "\\" "\\\\" word "${word}")
string(REPLACE "%" "%%" word "${word}")
set(ZELK_DESKTOP_EXEC "\"${word}\"")

configure_file("${zelk_template}" "${zelk_work_dir}/zelk.desktop" @ONLY)
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/share/applications" TYPE FILE
    FILES "${zelk_work_dir}/zelk.desktop")
