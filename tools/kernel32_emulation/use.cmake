# For folders built without the tools (the ThreadSanitizer preset's tests): adds the kernel32
# layer when it is not there yet and can be built (Linux, with the kernel emulation).
if(NOT TARGET kernel32_emulation AND NOT WIN32 AND TARGET kernel_emulation)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tools/kernel32_emulation ${CMAKE_BINARY_DIR}/tools/kernel32_emulation)
endif()
