# Install rules: the programs into bin, the rest from packaging/.
include(GNUInstallDirs)

# The release that the metainfo, the man pages and the package's changelog name.
set(KESTREL_RELEASE_DATE "2026-12-07")
set(KESTREL_RELEASE_DATE_RFC2822 "Mon, 07 Dec 2026 00:00:00 +0000")
set(KESTREL_HOMEPAGE "https://kestrel.example.org" CACHE STRING
  "The project's home page, named in the package and the metainfo")
set(KESTREL_MAINTAINER "The kestrel developers <kestrel@example.org>" CACHE STRING
  "The package's maintainer, as Name <address>")

# Every directory the install makes is rwxr-xr-x, whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

foreach(program kestrel kestrelctl kestrel-devsim)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

add_subdirectory(packaging)
