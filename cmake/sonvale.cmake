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
# `sonvale_library(name dir [RECURSE])`
function(sonvale_library name dir)
  if("RECURSE" IN_LIST ARGN)
    file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  else()
    file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  endif()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PRIVATE sonvale_warnings)
endfunction()
