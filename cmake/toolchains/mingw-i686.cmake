# The product's target. 32-bit code cannot execute on these machines, so no emulator is set:
# this build is compiled and linked, never run.
set(KIT_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
