# GoogleTest package of the Windows cross build: cmake/Windows.cmake has already built GoogleTest
# from source and defined GTest::gtest and GTest::gtest_main.
if(NOT TARGET GTest::gtest OR NOT TARGET GTest::gtest_main)
    set(GTest_FOUND FALSE)
    set(GTest_NOT_FOUND_MESSAGE "GoogleTest targets of the cross build are missing")
endif()
