# The project version (project() in the top CMakeLists.txt) for the native
# code: a generated header, a version resource in each Windows DLL, and, on
# Linux, the version scripts that keep every symbol but the entry points
# inside the shared libraries.
set(DL_VERSION ${PROJECT_VERSION})
set(DL_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/dl_version.h.in ${DL_GENERATED_DIR}/dl_version.h @ONLY)
add_library(dl_version INTERFACE)
target_include_directories(dl_version INTERFACE ${DL_GENERATED_DIR})

# dl_release_library(<target> <file name> <description> <export map>)
# Windows: a VERSIONINFO resource (file and product version, product name,
# description). Linux: only the names of cmake/exports/<export map> leave the
# library.
function(dl_release_library target file_name description export_map)
  if(WIN32)
    set(DL_RC_FILE_NAME ${file_name})
    set(DL_RC_DESCRIPTION ${description})
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${DL_GENERATED_DIR}/${target}_version.rc @ONLY)
    target_sources(${target} PRIVATE ${DL_GENERATED_DIR}/${target}_version.rc)
  else()
    set(_map ${PROJECT_SOURCE_DIR}/cmake/exports/${export_map})
    target_link_options(${target} PRIVATE -Wl,--version-script=${_map})
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${_map})
  endif()
endfunction()
