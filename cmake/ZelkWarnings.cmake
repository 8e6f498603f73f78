# zelk_warnings(<target>): the project's warning set, errors in CI builds.
function(zelk_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
        -Wcast-align -Woverloaded-virtual -Wnull-dereference -Wformat=2
        -Wimplicit-fallthrough)
    if(ZELK_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
    # Lock rules (TrelThreadSafety.h): clang checks them, and a broken one
    # fails every clang build, the sanitizer and fuzz builds included, which
    # otherwise run with warnings as warnings. gcc has no such analysis.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        target_compile_options(${target} PRIVATE -Wthread-safety -Werror=thread-safety)
    endif()
endfunction()
