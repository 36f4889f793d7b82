# Run by CPack after it has built the packages (CPACK_POST_BUILD_SCRIPTS).
#
# CPack gives a .deb that installs a library under /usr/lib a postinst and
# a postrm that call ldconfig. Debian updates the loader's cache through
# libc's ldconfig trigger instead, so each such package is rebuilt with the
# trigger in place of those two scripts. A script that does more than call
# ldconfig is left alone.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${deb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  set(only_ldconfig TRUE)
  set(scripts "")
  foreach(script postinst postrm)
    if(EXISTS "${tree}/DEBIAN/${script}")
      file(READ "${tree}/DEBIAN/${script}" text)
      string(REGEX REPLACE "#!/bin/sh|set -e|if \\[ \"\\$1\" = \"[a-z]+\" \\]; then|ldconfig|fi|[ \t\n]" "" rest "${text}")
      if(NOT rest STREQUAL "" OR NOT text MATCHES "ldconfig")
        set(only_ldconfig FALSE)
      endif()
      list(APPEND scripts "${tree}/DEBIAN/${script}")
    endif()
  endforeach()
  if(scripts AND only_ldconfig)
    file(REMOVE ${scripts})
    file(WRITE "${tree}/DEBIAN/triggers" "activate-noawait ldconfig\n")
    execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip --build "${tree}" "${deb}"
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    message(STATUS "${deb}: ldconfig trigger in place of maintainer scripts")
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()
