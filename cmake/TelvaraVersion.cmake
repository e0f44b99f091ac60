# The one version number of everything we ship: the version resources of the
# binaries, telvara-host --version, the panel's status bar and the installer
# (tools/package.sh reads the line below) all take it from here.
set(TELVARA_VERSION 1.5.0)

string(REPLACE "." ";" _parts ${TELVARA_VERSION})
list(GET _parts 0 TELVARA_VERSION_MAJOR)
list(GET _parts 1 TELVARA_VERSION_MINOR)
list(GET _parts 2 TELVARA_VERSION_PATCH)

# telvara_version.h in the build tree, for code that shows the version:
# link the interface target telvara_version and include "telvara_version.h".
set(TELVARA_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/telvara_version.h.in ${TELVARA_GENERATED_DIR}/telvara_version.h @ONLY)
add_library(telvara_version INTERFACE)
target_include_directories(telvara_version INTERFACE ${TELVARA_GENERATED_DIR})

# Gives a binary its version resource (file and product version, product
# name, description, original file name):
#   telvara_version_resource(target FILE telvara_x64.dll DESCRIPTION "...")
function(telvara_version_resource target)
  cmake_parse_arguments(V "" "FILE;DESCRIPTION" "" ${ARGN})
  if(NOT V_FILE OR NOT V_DESCRIPTION)
    message(FATAL_ERROR "telvara_version_resource(${target}) needs FILE and DESCRIPTION")
  endif()
  if(V_FILE MATCHES "\\.dll$")
    set(TELVARA_RC_FILETYPE VFT_DLL)
  else()
    set(TELVARA_RC_FILETYPE VFT_APP)
  endif()
  set(TELVARA_RC_FILE ${V_FILE})
  set(TELVARA_RC_DESCRIPTION ${V_DESCRIPTION})
  get_filename_component(TELVARA_RC_INTERNAL_NAME ${V_FILE} NAME_WE)
  set(rc ${TELVARA_GENERATED_DIR}/version-${target}.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
