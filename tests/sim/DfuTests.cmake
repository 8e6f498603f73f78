# The printer's bootloader model and the link library's dfu-util front end,
# both run against Debian's dfu-util on the virtual bus. Included from
# tests/app/firmware, next to the program's own flashing tests.
zelk_sim_test(test_dfu_function ${CMAKE_CURRENT_LIST_DIR}/DfuFunctionTest.cpp)
zelk_sim_test(test_trel_dfu ${CMAKE_CURRENT_LIST_DIR}/DfuTrelDfuTest.cpp)
