# Packages, made by CPack from the install components:
#   libqelcode1     the shared library
#   libqelcode-dev  the header, the .so link, the static library, qelcode.pc,
#                   the CMake package and qelcode(3)
#   qelcode         the tool and qelcode(1)
# `cpack -G TGZ` gives one archive per component; `cpack -G DEB` (not on
# Windows) one .deb per component, for a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr. scripts/package.sh does both, the static
# library included.
#
# Generators of other platforms add their own block below the DEB one;
# Windows builds make zips instead (cmake/packaging/windows-zip.cmake).

set(CPACK_PACKAGE_NAME qelcode)
set(CPACK_PACKAGE_VENDOR "The qelcode developers")
set(CPACK_PACKAGE_CONTACT "The qelcode developers <dev@qelcode.invalid>")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_STRIP_FILES ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_GENERATOR TGZ)
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/cpack-project-config.cmake")

set(CPACK_COMPONENTS_ALL libqelcode1 libqelcode-dev)
if(QEL_BUILD_TOOL)
  list(APPEND CPACK_COMPONENTS_ALL qelcode)
endif()

# A static library built apart (BUILD_SHARED_LIBS=OFF, same source and
# options) joins the packages when this names its build tree. It is
# installed first, so that the files both trees install (the header, the
# pages, qelcode.pc) come from this, the shared, build: its qelcode.pc gives
# -DQEL_STATIC to pkg-config --static only.
set(QEL_PACKAGE_STATIC_BUILD "" CACHE PATH
    "Build tree of a static build of the same source whose libqelcode.a goes into the packages")
if(QEL_PACKAGE_STATIC_BUILD)
  set(CPACK_INSTALL_CMAKE_PROJECTS
      "${QEL_PACKAGE_STATIC_BUILD};${PROJECT_NAME};ALL;/"
      "${PROJECT_BINARY_DIR};${PROJECT_NAME};ALL;/")
endif()

# The license goes with the library. A .deb carries it in each package, as
# share/doc/<package>/copyright, with the changelog beside it.
option(QEL_DEBIAN_DOCS "Install the license and changelog in share/doc/<package> for each package, as .deb packages have them" OFF)
if(QEL_DEBIAN_DOCS)
  # The changelog of a Debian package is in Debian's format: one entry for
  # this version, dated as its section in CHANGELOG.md.
  string(REPLACE "." "\\." qel_version_re "${PROJECT_VERSION}")
  file(STRINGS "${PROJECT_SOURCE_DIR}/CHANGELOG.md" qel_release REGEX "^## ${qel_version_re} - [0-9-]+$")
  if(NOT qel_release MATCHES " - ([0-9]+-[0-9]+-[0-9]+)$")
    message(FATAL_ERROR "CHANGELOG.md has no section '## ${PROJECT_VERSION} - YYYY-MM-DD' for the packages' changelog")
  endif()
  execute_process(COMMAND date -u -R -d "${CMAKE_MATCH_1} 00:00:00"
                  OUTPUT_VARIABLE QEL_RELEASE_DATE OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  configure_file("${CMAKE_CURRENT_LIST_DIR}/debian-changelog.in" debian/changelog @ONLY)
  execute_process(COMMAND gzip -9nc changelog WORKING_DIRECTORY "${PROJECT_BINARY_DIR}/debian"
                  OUTPUT_FILE "${PROJECT_BINARY_DIR}/debian/changelog.gz" COMMAND_ERROR_IS_FATAL ANY)
  foreach(component IN LISTS CPACK_COMPONENTS_ALL)
    install(FILES "${PROJECT_SOURCE_DIR}/LICENSE" RENAME copyright
      DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${component}" COMPONENT ${component})
    install(FILES "${PROJECT_BINARY_DIR}/debian/changelog.gz"
      DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${component}" COMPONENT ${component})
  endforeach()
else()
  install(FILES "${PROJECT_SOURCE_DIR}/LICENSE" DESTINATION "${CMAKE_INSTALL_DOCDIR}" COMPONENT libqelcode1)
endif()

# --- Debian packages ----------------------------------------------------------
if(NOT WIN32)
  list(APPEND CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # dpkg-shlibdeps must find libqelcode.so.1 for the tool: the build tree's
  # copy. It belongs to no installed package, so the tool's dependency on
  # libqelcode1 comes from the component dependency below.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${PROJECT_BINARY_DIR}/src")
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
  set(CPACK_POST_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/deb-ldconfig-trigger.cmake")

  # The symbols file tells dpkg-shlibdeps which release of libqelcode1 a
  # program needs: the one that brought the newest function it calls. A
  # function of node QEL_X.Y came with release X.Y.0.
  if(QEL_EXPORTS)
    set(qel_symbols "libqelcode.so.${PROJECT_VERSION_MAJOR} libqelcode1 #MINVER#\n")
    string(APPEND qel_symbols "* Build-Depends-Package: libqelcode-dev\n")
    set(qel_nodes "")
    foreach(export IN LISTS QEL_EXPORTS)
      string(REGEX REPLACE ".*@" "" node "${export}")
      list(APPEND qel_nodes "${node}")
    endforeach()
    list(REMOVE_DUPLICATES qel_nodes)
    # Each node is a symbol of its own as well, as libraries with symbol
    # versions list it.
    foreach(export IN LISTS qel_nodes QEL_EXPORTS)
      string(REGEX REPLACE ".*@" "" node "${export}")
      string(REGEX REPLACE "^QEL_" "" release "${node}")
      string(REGEX REPLACE "@.*" "" name "${export}")
      string(APPEND qel_symbols " ${name}@${node} ${release}.0\n")
    endforeach()
    file(CONFIGURE OUTPUT debian/symbols CONTENT "${qel_symbols}")
    set(CPACK_DEBIAN_LIBQELCODE1_PACKAGE_CONTROL_EXTRA "${PROJECT_BINARY_DIR}/debian/symbols")
  endif()

  set(CPACK_DEBIAN_LIBQELCODE1_PACKAGE_NAME libqelcode1)
  set(CPACK_DEBIAN_LIBQELCODE1_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_LIBQELCODE-DEV_PACKAGE_NAME libqelcode-dev)
  set(CPACK_DEBIAN_LIBQELCODE-DEV_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_QELCODE_PACKAGE_NAME qelcode)
  set(CPACK_DEBIAN_QELCODE_PACKAGE_SECTION utils)
endif()

include(CPack)

set(qel_about "qelcode encodes text line by line into records over a built-in
alphabet of 94 graphic characters, and decodes them back.")
cpack_add_component(libqelcode1
  DISPLAY_NAME "qelcode library"
  DESCRIPTION "line-by-line text encoding into records (library)\n${qel_about}
This package holds the shared library.")
cpack_add_component(libqelcode-dev
  DISPLAY_NAME "qelcode development files"
  DESCRIPTION "line-by-line text encoding into records (development files)\n${qel_about}
This package holds the header, the static library, the pkg-config file,
the CMake package and the manual page qelcode(3)."
  DEPENDS libqelcode1)
if(QEL_BUILD_TOOL)
  cpack_add_component(qelcode
    DISPLAY_NAME "qelcode tool"
    DESCRIPTION "line-by-line text encoding into records (tool)\n${qel_about}
This package holds the command-line tool qelcode, which encodes text files,
decodes records back to text and checks files of records."
    DEPENDS libqelcode1)
endif()
