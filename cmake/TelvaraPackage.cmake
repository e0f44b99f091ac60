# Included last, once every target of the build is known.

# The panel's version resource is given here, with the other shipped
# binaries' texts, whichever folder builds the panel.
if(TARGET telvarapanel)
  telvara_version_resource(telvarapanel FILE telvarapanel.exe DESCRIPTION "Telvara control panel")
endif()

# telvara-package.env in the build folder: the shipped files of this bitness
# as tools/package.sh finds them, one NAME=path a line.
set(_lines "TELVARA_VERSION=${TELVARA_VERSION}\n")
string(APPEND _lines "TELVARA_DRIVER_${TELVARA_TARGET}=$<TARGET_FILE:telvara_${TELVARA_TARGET}>\n")
string(APPEND _lines "TELVARA_HOST_${TELVARA_TARGET}=$<TARGET_FILE:telvara-host>\n")
if(TARGET telvarapanel)
  string(APPEND _lines "TELVARA_PANEL=$<TARGET_FILE:telvarapanel>\n")
endif()
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/telvara-package.env CONTENT "${_lines}")
