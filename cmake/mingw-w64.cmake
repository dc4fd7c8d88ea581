# Cross-compiling for 64-bit Windows with Debian's mingw-w64 compilers (posix
# threads, so std::thread and std::mutex work):
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DQT_HOST_PATH=/usr \
#         -DCMAKE_PREFIX_PATH=<Qt for Windows> ...
# Programs (moc, rcc) come from the host; libraries, headers and CMake packages
# only from the Windows side: the mingw sysroot and the prefixes given.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(UPDATER_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${UPDATER_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${UPDATER_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${UPDATER_MINGW_TRIPLE}-windres)

# The prefixes given (Qt, GoogleTest) are roots of their own, so that what they
# hold is found although it lies outside the mingw sysroot.
set(CMAKE_FIND_ROOT_PATH /usr/${UPDATER_MINGW_TRIPLE} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs and tools built here run under wine.
find_program(UPDATER_WINE NAMES wine wine64)
if(UPDATER_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${UPDATER_WINE})
endif()
# GoogleTest cases are listed when ctest runs rather than after each link, so a
# build needs no wine.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
