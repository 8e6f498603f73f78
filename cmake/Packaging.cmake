# Installation layout, the installed files and the Debian package.
#
# The program lives in one application directory, "the bundle", that it can
# copy and update as a whole (app/shell/Installer.h):
#
#   <prefix>/lib/zelk/Contents/bin/zelk, zelkctl, zelkd, dfu-util, zelk-install
#   <prefix>/lib/zelk/Contents/lib/libtrel.so.1
#   <prefix>/lib/zelk/Contents/Resources/   firmware image, test print, icon, udev rule
#   <prefix>/lib/zelk/Contents/share/zelkd/www/   zelkd's web page
#
# The programs find dfu-util beside themselves and their resources in
# "../Resources", as they do in the build tree (bin/ and Resources/ of the
# build directory). Around the bundle, what the desktop and a terminal need:
#
#   <prefix>/bin/zelk, zelkctl, zelkd       links to the programs
#   <prefix>/share/man/man1/zelk.1.gz, zelkctl.1.gz, zelkd.1.gz
#   <prefix>/share/doc/zelk/copyright, changelog.gz
#   <prefix>/share/applications/zelk.desktop
#   <prefix>/share/icons/hicolor/*/apps/zelk.png, scalable/apps/zelk.svg
#   <prefix>/lib/udev/rules.d/70-zelk.rules
#   <prefix>/share/polkit-1/actions/com.corvane.zelk.install.policy
#   <prefix>/share/systemd/user/zelkd.service   zelkd as a user's service
#   <prefix>/share/lintian/overrides/zelk
#
# and in the package alone, for zelkd as the machine's service:
#
#   /usr/lib/systemd/system/zelkd.service   installed disabled
#   /usr/lib/sysusers.d/zelkd.conf          its account
#   /etc/zelkd/zelkd.conf                   its settings, a conffile
#
# `cmake --install build --prefix DIR` installs into any prefix (~/.local
# gives a per-user installation that the desktop finds); `cpack` in the build
# directory makes the Debian package, with prefix /usr.
#
# Included from the top-level CMakeLists.txt before the subdirectories, so
# that they can use the ZELK_INSTALL_* destinations; the rules that need the
# targets run once the top-level directory is done.
include_guard(GLOBAL)

set(ZELK_INSTALL_BUNDLEDIR lib/zelk)
set(ZELK_INSTALL_BINDIR ${ZELK_INSTALL_BUNDLEDIR}/Contents/bin)
set(ZELK_INSTALL_LIBDIR ${ZELK_INSTALL_BUNDLEDIR}/Contents/lib)
set(ZELK_INSTALL_RESOURCESDIR ${ZELK_INSTALL_BUNDLEDIR}/Contents/Resources)
# The build tree's Resources, next to bin/: everything in it is installed.
set(ZELK_BUILD_RESOURCES_DIR ${CMAKE_BINARY_DIR}/Resources)

set(ZELK_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR}/../packaging)
get_filename_component(ZELK_PACKAGING_DIR ${ZELK_PACKAGING_DIR} ABSOLUTE)
set(ZELK_ICON_SIZES 16 24 32 48 64 128 256 512)

# The udev rule and the icon in the build tree's Resources, and the install
# helper beside the program, as in a bundle: a bundle that copies itself takes
# them along and installs them from there.
set(ZELK_BUILD_INSTALL_HELPER ${CMAKE_BINARY_DIR}/bin/zelk-install)
set(ZELK_PACKAGING_RESOURCES
    ${ZELK_BUILD_RESOURCES_DIR}/70-zelk.rules
    ${ZELK_BUILD_RESOURCES_DIR}/zelk.png
    ${ZELK_BUILD_INSTALL_HELPER})
add_custom_command(
    OUTPUT ${ZELK_PACKAGING_RESOURCES}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${ZELK_BUILD_RESOURCES_DIR}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${ZELK_PACKAGING_DIR}/70-zelk.rules
        ${ZELK_BUILD_RESOURCES_DIR}/70-zelk.rules
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${ZELK_PACKAGING_DIR}/icons/zelk-256.png
        ${ZELK_BUILD_RESOURCES_DIR}/zelk.png
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/bin
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${ZELK_PACKAGING_DIR}/zelk-install
        ${ZELK_BUILD_INSTALL_HELPER}
    DEPENDS ${ZELK_PACKAGING_DIR}/70-zelk.rules ${ZELK_PACKAGING_DIR}/icons/zelk-256.png
        ${ZELK_PACKAGING_DIR}/zelk-install
    COMMENT "udev rule, icon and install helper in the build tree")
add_custom_target(zelk_packaging_resources ALL DEPENDS ${ZELK_PACKAGING_RESOURCES})

# The drawings of the icon and of the installer window's header, rendered
# into the PNGs that are committed next to them.
add_executable(zelk_render_svg EXCLUDE_FROM_ALL ${ZELK_PACKAGING_DIR}/RenderSvg.cpp)
target_link_libraries(zelk_render_svg PRIVATE Qt5::Gui Qt5::Svg)
set(zelk_render_commands)
foreach(size ${ZELK_ICON_SIZES})
    list(APPEND zelk_render_commands COMMAND zelk_render_svg
        ${ZELK_PACKAGING_DIR}/icons/zelk.svg ${size} ${ZELK_PACKAGING_DIR}/icons/zelk-${size}.png)
endforeach()
set(zelk_ui_images ${CMAKE_SOURCE_DIR}/app/ui/images)
add_custom_target(zelk_render_install_images
    ${zelk_render_commands}
    COMMAND zelk_render_svg ${zelk_ui_images}/src/logoWithName.svg 300
        ${zelk_ui_images}/logoWithName.png
    COMMAND zelk_render_svg ${zelk_ui_images}/src/logoWithName.svg 600
        ${zelk_ui_images}/logoWithName@2x.png
    DEPENDS zelk_render_svg
    VERBATIM)
unset(zelk_render_commands)
unset(zelk_ui_images)

# The manual page of a program the package ships, made by help2man from the
# built program's --help and --version (neither may need a display or a
# printer), with what packaging/man/PROGRAM.h2m adds when it exists, and
# installed gzipped into share/man/man1. SUMMARY is the page's NAME line.
find_program(ZELK_HELP2MAN help2man REQUIRED)
find_program(ZELK_GZIP gzip REQUIRED)
function(zelk_man_page program summary)
    if(NOT TARGET ${program})
        return()
    endif()
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
    set(include ${ZELK_PACKAGING_DIR}/man/${program}.h2m)
    set(depends)
    if(EXISTS ${include})
        set(depends ${include})
    endif()
    add_custom_command(
        OUTPUT ${page}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
        # A sanitizer build's programs run here too; a leak report at exit is
        # no fault of the page.
        COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
            ${ZELK_HELP2MAN} --no-info --section=1 "--name=${summary}"
            "--source=Zelk printer tool ${PROJECT_VERSION}" --opt-include=${include}
            --output=${page} $<TARGET_FILE:${program}>
        COMMAND ${ZELK_GZIP} -9nf ${page}
        DEPENDS ${program} ${depends}
        COMMENT "Manual page of ${program}"
        VERBATIM)
    set_property(GLOBAL APPEND PROPERTY ZELK_MAN_PAGES ${page}.gz)
endfunction()

function(zelk_packaging_finish)
    # The bundle. Only what carries COMPONENT zelk goes into the package and
    # into an installation (`cmake --install --component zelk`); zelk_deb
    # into the package alone.
    install(TARGETS trel
        LIBRARY DESTINATION ${ZELK_INSTALL_LIBDIR} NAMELINK_SKIP COMPONENT zelk)
    find_program(ZELK_DFU_UTIL dfu-util REQUIRED)
    install(PROGRAMS ${ZELK_DFU_UTIL} ${ZELK_PACKAGING_DIR}/zelk-install
        DESTINATION ${ZELK_INSTALL_BINDIR} COMPONENT zelk)
    install(DIRECTORY ${ZELK_BUILD_RESOURCES_DIR}/
        DESTINATION ${ZELK_INSTALL_RESOURCESDIR} COMPONENT zelk)
    # The programs a user runs: in the bundle, with a link on the PATH and a
    # manual page each. The rest of what is built stays out: trel-probe is a
    # developer's check of the link library, zelk-sim needs umockdev and the
    # test printers, zelk-firmware-image and zelk-test-print make Resources.
    foreach(program zelk zelkctl zelkd)
        if(NOT TARGET ${program})
            continue()
        endif()
        # libtrel travels with the programs: found beside them, wherever the
        # bundle is copied. Started through the link, a program still finds
        # dfu-util and Resources from its own directory in the bundle (Qt
        # takes that from /proc/self/exe, which names the link's target).
        set_target_properties(${program} PROPERTIES INSTALL_RPATH "\$ORIGIN/../lib")
        install(TARGETS ${program} RUNTIME DESTINATION ${ZELK_INSTALL_BINDIR} COMPONENT zelk)
        install(CODE "
            set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/${program}\")
            message(STATUS \"Installing: \${link}\")
            file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin\")
            file(CREATE_LINK ../${ZELK_INSTALL_BINDIR}/${program} \"\${link}\" SYMBOLIC)
            " COMPONENT zelk)
    endforeach()
    zelk_man_page(zelk "desktop companion of the Zelk 3D printer")
    zelk_man_page(zelkctl "the Zelk 3D printer from a terminal")
    zelk_man_page(zelkd "the Zelk printers on the network, for slicers and a web page")

    # What zelkd brings besides itself. Its page, found from the program as
    # ../share/zelkd/www, as in the build tree. A user unit, for any prefix:
    # it names the prefix's program. The rest is for the package alone: the
    # system unit (installed disabled: postinst enables nothing), the file
    # that makes its account (postinst runs systemd-sysusers, or adduser
    # where systemd is not), which the udev rule lets open the printer, and
    # its settings in /etc, a conffile (packaging/debian/conffiles) so that
    # dpkg keeps an administrator's edits; an installation into ~/.local
    # writes no /etc and starts no system service.
    set(zelkd_dir ${ZELK_PACKAGING_DIR}/zelkd)
    if(TARGET zelkd)
        install(DIRECTORY ${CMAKE_SOURCE_DIR}/tools/zelkd/www/
            DESTINATION ${ZELK_INSTALL_BUNDLEDIR}/Contents/share/zelkd/www COMPONENT zelk)
        install(CODE "
            set(zelkd_program \"\${CMAKE_INSTALL_PREFIX}/${ZELK_INSTALL_BINDIR}/zelkd\")
            set(zelkd_template \"${zelkd_dir}/zelkd-user.service.in\")
            set(zelkd_work_dir \"${CMAKE_BINARY_DIR}/packaging\")
            include(\"${zelkd_dir}/user-unit.cmake\")
            " COMPONENT zelk)
        install(FILES ${zelkd_dir}/zelkd.service
            DESTINATION lib/systemd/system COMPONENT zelk_deb)
        install(FILES ${zelkd_dir}/zelkd.sysusers
            DESTINATION lib/sysusers.d RENAME zelkd.conf COMPONENT zelk_deb)
        install(FILES ${zelkd_dir}/zelkd.conf DESTINATION /etc/zelkd COMPONENT zelk_deb)
    endif()

    # What Debian wants beside every package, and the reasons for what lintian
    # reports of the bundle's layout.
    set(changelog ${CMAKE_BINARY_DIR}/packaging/changelog)
    add_custom_command(
        OUTPUT ${changelog}.gz
        COMMAND ${CMAKE_COMMAND} -E copy ${ZELK_PACKAGING_DIR}/debian/changelog ${changelog}
        COMMAND ${ZELK_GZIP} -9nf ${changelog}
        DEPENDS ${ZELK_PACKAGING_DIR}/debian/changelog
        VERBATIM)
    get_property(pages GLOBAL PROPERTY ZELK_MAN_PAGES)
    add_custom_target(zelk_package_docs ALL DEPENDS ${changelog}.gz ${pages})
    install(FILES ${ZELK_PACKAGING_DIR}/debian/copyright ${changelog}.gz
        DESTINATION share/doc/zelk COMPONENT zelk)
    install(FILES ${pages} DESTINATION share/man/man1 COMPONENT zelk)
    # For the package alone: not part of an installation into a prefix.
    install(FILES ${ZELK_PACKAGING_DIR}/debian/lintian-overrides
        DESTINATION share/lintian/overrides RENAME zelk COMPONENT zelk_deb)

    # The desktop around it.
    install(CODE "
        set(zelk_program \"\${CMAKE_INSTALL_PREFIX}/${ZELK_INSTALL_BINDIR}/zelk\")
        set(zelk_template \"${ZELK_PACKAGING_DIR}/zelk.desktop.in\")
        set(zelk_work_dir \"${CMAKE_BINARY_DIR}/packaging\")
        include(\"${ZELK_PACKAGING_DIR}/desktop-entry.cmake\")
        " COMPONENT zelk)
    foreach(size ${ZELK_ICON_SIZES})
        install(FILES ${ZELK_PACKAGING_DIR}/icons/zelk-${size}.png
            DESTINATION share/icons/hicolor/${size}x${size}/apps RENAME zelk.png COMPONENT zelk)
    endforeach()
    install(FILES ${ZELK_PACKAGING_DIR}/icons/zelk.svg
        DESTINATION share/icons/hicolor/scalable/apps COMPONENT zelk)
    install(FILES ${ZELK_PACKAGING_DIR}/70-zelk.rules
        DESTINATION lib/udev/rules.d COMPONENT zelk)
    # The password dialog of a copy into the system names the program.
    install(CODE "
        set(zelk_helper \"\${CMAKE_INSTALL_PREFIX}/${ZELK_INSTALL_BINDIR}/zelk-install\")
        set(zelk_template \"${ZELK_PACKAGING_DIR}/com.corvane.zelk.install.policy.in\")
        set(zelk_work_dir \"${CMAKE_BINARY_DIR}/packaging\")
        include(\"${ZELK_PACKAGING_DIR}/polkit-action.cmake\")
        " COMPONENT zelk)

    # The archives of the bundle for the program's own installer and updates:
    # ninja zelk_archives writes them into the build directory.
    add_custom_target(zelk_archives
        COMMAND ${CMAKE_COMMAND} -DBUILD=${CMAKE_BINARY_DIR} -DVERSION=${PROJECT_VERSION}
            -DOUT=${CMAKE_BINARY_DIR} -P ${ZELK_PACKAGING_DIR}/bundle-archives.cmake
        VERBATIM)
    add_dependencies(zelk_archives trel zelk_packaging_resources)
    foreach(target zelk zelk_dfu_util zelk_firmware_dfu)
        if(TARGET ${target})
            add_dependencies(zelk_archives ${target})
        endif()
    endforeach()

    # The Debian package: cpack in the build directory.
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGE_NAME zelk)
    set(CPACK_PACKAGE_VENDOR Corvane)
    set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop companion of the Zelk 3D printer")
    # No semicolon in it: CMake would take it for a list separator and drop it.
    set(CPACK_PACKAGE_DESCRIPTION
        "Shows the state of an attached Zelk printer, sends G-code files to it,\n"
        "optionally rewritten with fewer moves, guides filament loading and test\n"
        "prints, and flashes new printer firmware. zelkctl does the same from a\n"
        "terminal. zelkd serves the printers attached to a machine on the network,\n"
        "to slicers (as a printer host) and to a web page. Its systemd service is\n"
        "installed disabled. Includes libtrel, the printer link library, and a udev\n"
        "rule that lets the logged-in user, and zelkd's account, open the printer.")
    string(CONCAT CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
    set(CPACK_PACKAGE_CONTACT "Zelk printer tool developers <zelk@example.invalid>")
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEB_COMPONENT_INSTALL ON)
    set(CPACK_COMPONENTS_ALL zelk zelk_deb)
    set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION misc)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    # libtrel is the package's own, found through the program's RPATH.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
    # What dpkg-shlibdeps does not see. Qt plugins: the SVG images, zelkd's
    # history database (Qt's SQLite driver). zelkd's web page loads its chart
    # from Debian's Chart.js. postinst makes zelkd's account with adduser
    # where systemd-sysusers is not there.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt5svg5, libqt5sql5-sqlite, libjs-chart.js, adduser")
    # zelkd announces itself through the daemon when one runs.
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "avahi-daemon")
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
        ${ZELK_PACKAGING_DIR}/debian/postinst ${ZELK_PACKAGING_DIR}/debian/prerm
        ${ZELK_PACKAGING_DIR}/debian/postrm ${ZELK_PACKAGING_DIR}/debian/conffiles)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
    # The package's programs are stripped. Their debug information stays in
    # the build directory's bin/ and lib/, in the very files the package holds
    # stripped copies of (same build id), for gdb's --symbols. Not in a
    # -dbgsym package: CPack's (CPACK_DEBIAN_DEBUGINFO_PACKAGE, CMake 3.25)
    # lists its build directory's paths in the md5sums.
    set(CPACK_STRIP_FILES TRUE)
    include(CPack)

    # CI builds the package, installs it into a scratch root and runs the
    # program from there against a virtual printer.
    if(ZELK_BUILD_TESTS)
        set(program_args)
        if(TARGET zelk)
            set(program_args --program $<TARGET_FILE:zelk>)
        endif()
        add_test(NAME package_deb
            COMMAND bash ${CMAKE_SOURCE_DIR}/tests/packaging/check-package.sh
                --build ${CMAKE_BINARY_DIR} --version ${PROJECT_VERSION}
                --sim $<TARGET_FILE:zelk-sim> ${program_args})
        set_tests_properties(package_deb PROPERTIES TIMEOUT 600 ENVIRONMENT "TMPDIR=/tmp")
    endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL zelk_packaging_finish)
