# The project version as a header (target kit_version) and as the texts the release files need:
#   KIT_RELEASE_DATE_DRIVERVER  the release date as an INF's DriverVer wants it (mm/dd/yyyy)
#   KIT_DRIVER_VERSION          the version in four parts (1.0.0.0)
if(NOT KIT_RELEASE_DATE MATCHES "^([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])$")
  message(FATAL_ERROR "KIT_RELEASE_DATE must be written yyyy-mm-dd, not '${KIT_RELEASE_DATE}'")
endif()
set(KIT_RELEASE_DATE_DRIVERVER "${CMAKE_MATCH_2}/${CMAKE_MATCH_3}/${CMAKE_MATCH_1}")
set(KIT_DRIVER_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")

configure_file(${CMAKE_CURRENT_LIST_DIR}/kit_version.h.in ${CMAKE_BINARY_DIR}/generated/kit_version.h @ONLY)
add_library(kit_version INTERFACE)
target_include_directories(kit_version INTERFACE ${CMAKE_BINARY_DIR}/generated)
