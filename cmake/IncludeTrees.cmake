# Include trees: a target sees the headers of its own subsystem and of the targets it links, and
# nothing else, so a lower layer that names a header of a higher one does not compile. Sources
# name headers from the project root ("platform/crypt/CertServices.h"); a target's tree is a
# folder of the build tree that holds symbolic links by those names, pointing at the source
# folders (or single headers) it exposes, and that folder becomes an include directory.
#
#   tessora_include_tree(target PUBLIC|PRIVATE|INTERFACE path...)
#   tessora_include_tree(DIRECTORY PRIVATE path...)   every target of the current folder
#
# Each path is a folder or a header relative to the project root.
function(tessora_include_tree target scope)
  string(TOLOWER ${scope} suffix)
  set(root ${PROJECT_BINARY_DIR}/include/${target}-${suffix})
  if(target STREQUAL "DIRECTORY")
    file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
    string(REPLACE "/" "-" folder "${folder}")
    set(root ${PROJECT_BINARY_DIR}/include/folder-${folder})
  endif()
  foreach(path ${ARGN})
    if(NOT EXISTS ${PROJECT_SOURCE_DIR}/${path})
      message(FATAL_ERROR "tessora_include_tree: ${path} does not exist")
    endif()
    get_filename_component(parent ${root}/${path} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${path} ${root}/${path} SYMBOLIC)
  endforeach()
  if(target STREQUAL "DIRECTORY")
    include_directories(${root})
  else()
    target_include_directories(${target} ${scope} ${root})
  endif()
endfunction()
