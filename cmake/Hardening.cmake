# Hardened programs, as Debian builds its own: fortified C library calls, a stack protector,
# and relocations made read-only and bound at start. Applied to the targets of src/ (the
# shipped programs and the libraries they are made of), not to the tests or the benchmarks,
# and not under the sanitizers, which check memory their own way.
function(kestrel_harden_directory dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type MATCHES "^(STATIC_LIBRARY|OBJECT_LIBRARY|SHARED_LIBRARY|EXECUTABLE)$")
      target_compile_options(${target} PRIVATE
        -fstack-protector-strong $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
    endif()
    if(type STREQUAL "EXECUTABLE")
      target_link_options(${target} PRIVATE -Wl,-z,relro -Wl,-z,now)
    endif()
  endforeach()
  get_property(subdirectories DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdirectory IN LISTS subdirectories)
    kestrel_harden_directory(${subdirectory})
  endforeach()
endfunction()

if(NOT KESTREL_SANITIZE)
  kestrel_harden_directory(${PROJECT_SOURCE_DIR}/src)
endif()
