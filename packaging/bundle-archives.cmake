# Makes the two archives of the bundle that the program itself consumes:
#
#   "Zelk printer tool-VERSION.tar.bz2"          an update: runInstaller()
#                                                unpacks it and hands over
#   "Install Zelk printer tool-VERSION.tar.bz2"  a first installation: its
#                                                folder name starts the
#                                                installer window
#
# Each holds one folder, the bundle (Contents/bin, Contents/lib,
# Contents/Resources), taken from an installation of the zelk component.
#
#   cmake -DBUILD=<build dir> -DVERSION=<version> -DOUT=<dir> -P bundle-archives.cmake
if(NOT BUILD OR NOT VERSION OR NOT OUT)
    message(FATAL_ERROR "bundle-archives.cmake: BUILD, VERSION and OUT are required")
endif()
find_program(TAR tar REQUIRED)

set(stage "${OUT}/bundle-stage")
file(REMOVE_RECURSE "${stage}")
execute_process(
    COMMAND ${CMAKE_COMMAND} --install "${BUILD}" --component zelk --prefix "${stage}" --strip
    OUTPUT_QUIET
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "Installing the bundle into ${stage} failed")
endif()
if(NOT EXISTS "${stage}/lib/zelk/Contents/bin/zelk")
    message(FATAL_ERROR "The build has no program to put in an archive")
endif()

foreach(name "Zelk printer tool" "Install Zelk printer tool")
    set(archive "${OUT}/${name}-${VERSION}.tar.bz2")
    # Renames the folder only, never a link's target.
    execute_process(
        COMMAND ${TAR} cjf "${archive}" --owner=0 --group=0 "--transform=s,^zelk,${name},S"
            -C "${stage}/lib" zelk
        RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "Making ${archive} failed")
    endif()
    message(STATUS "${archive}")
endforeach()
file(REMOVE_RECURSE "${stage}")
