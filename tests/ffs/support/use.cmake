# Makes the ffs_test_support target available to folders outside tests/ffs.
if(NOT TARGET ffs_test_support)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tests/ffs/support ${CMAKE_BINARY_DIR}/tests/ffs/support)
endif()
