# Install rules: the programs into bin, hardened, the rest from packaging/.
include(GNUInstallDirs)
include(${CMAKE_CURRENT_LIST_DIR}/Hardening.cmake)

# The release that the metainfo, the man pages and the package's changelog name.
set(KESTREL_RELEASE_DATE "2026-12-07")
set(KESTREL_RELEASE_DATE_RFC2822 "Mon, 07 Dec 2026 00:00:00 +0000")
set(KESTREL_HOMEPAGE "https://kestrel.example.org" CACHE STRING
  "The project's home page, named in the package and the metainfo")
set(KESTREL_MAINTAINER "The kestrel developers <kestrel@example.org>" CACHE STRING
  "The package's maintainer, as Name <address>")
# Placeholders the owner fills in: the home page and maintainer above, the licence below. They
# are named only here; the copyright file, the metainfo and the package take them from here.
set(KESTREL_LICENSE "undecided" CACHE STRING
  "The licence's short name in the copyright file (for example GPL-3+ or MIT)")
set(KESTREL_LICENSE_TEXT "The authors have not chosen a licence yet." CACHE STRING
  "The licence's text, or for a licence in /usr/share/common-licenses the pointer to it")

# Every directory the install makes is rwxr-xr-x, whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(KESTREL_PROGRAMS)
foreach(program kestrel kestrelctl kestrel-devsim)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    list(APPEND KESTREL_PROGRAMS ${program})
  endif()
endforeach()
# A stripped install (the package's) also drops the compilers' notes, as Debian's strip does.
if(CMAKE_OBJCOPY)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      foreach(program ${KESTREL_PROGRAMS})
        execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\"
          COMMAND_ERROR_IS_FATAL ANY)
      endforeach()
    endif()")
endif()

add_subdirectory(packaging)
