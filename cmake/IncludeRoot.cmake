# kestrel_include_root(<target> <name>)
#
# Gives a library of src/<name> an include root of its own: <build>/inc/<name> holds one symlink,
# <name> -> src/<name>, and is the library's PUBLIC (INTERFACE for a header-only one) include
# directory. "<name>/x.h" then resolves for the library itself and for what links it, and fails
# to compile anywhere else, so that the link graph is also the include graph (docs/design.md).
function(kestrel_include_root target name)
  set(root ${PROJECT_BINARY_DIR}/inc/${name})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${name} ${root}/${name} SYMBOLIC)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()
