# Makes the ffs_image_builder target available to a folder that is built without the tools
# (tests, fuzz targets and benchmarks are switched on and off separately).
if(NOT TARGET ffs_image_builder)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tools/ffs_image_builder ${CMAKE_BINARY_DIR}/tools/ffs_image_builder)
endif()
