# Shared compile settings and helpers for every target of the project.

add_library(sonvale_warnings INTERFACE)
target_compile_options(sonvale_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
  $<$<BOOL:${SONVALE_WERROR}>:-Werror>)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  target_compile_options(sonvale_warnings INTERFACE -Wthread-safety)
endif()

# Each subsystem folder is one static library made of the sources found in it. Folders are globbed
# (with CONFIGURE_DEPENDS) so that adding a file to a subsystem touches no shared build file.
# `sonvale_library(name dir [RECURSE] [EXCLUDE file...])`: EXCLUDE names sources (relative to the
# current source folder) that another library of the folder holds.
function(sonvale_library name dir)
  cmake_parse_arguments(PARSE_ARGV 2 arg "RECURSE" "" "EXCLUDE")
  if(arg_RECURSE)
    file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  else()
    file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  endif()
  foreach(excluded ${arg_EXCLUDE})
    list(REMOVE_ITEM srcs ${CMAKE_CURRENT_SOURCE_DIR}/${excluded})
  endforeach()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PRIVATE sonvale_warnings)
endfunction()
