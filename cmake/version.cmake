# Hands the release number of VERSION (read at the top of CMakeLists.txt) to
# everything that shows it:
#   generated/tindral_version.h   TINDRAL_VERSION and its parts, for C and C++
#                                 (and the Windows resource below);
#   generated/_version.py         copied into tindral_xl/ wherever an add-in
#                                 folder is laid out (scripts/run.sh, the
#                                 Windows package, the end-to-end harness):
#                                 tindral_xl.__version__ and the agent's ping;
#   the .xll's file properties    VERSIONINFO, shown by Explorer.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/VERSION)

file(MAKE_DIRECTORY ${TINDRAL_GENERATED_DIR})
configure_file(${CMAKE_SOURCE_DIR}/cmake/tindral_version.h.in ${TINDRAL_GENERATED_DIR}/tindral_version.h @ONLY)
file(WRITE ${TINDRAL_GENERATED_DIR}/_version.py.new
  "# Written by the build from the file VERSION; do not edit.\n__version__ = \"${TINDRAL_VERSION}\"\n")
configure_file(${TINDRAL_GENERATED_DIR}/_version.py.new ${TINDRAL_GENERATED_DIR}/_version.py COPYONLY)

if(WIN32)
  enable_language(RC)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/TindralXL.rc.in ${TINDRAL_GENERATED_DIR}/TindralXL.rc @ONLY)
  target_sources(TindralXL PRIVATE ${TINDRAL_GENERATED_DIR}/TindralXL.rc)
endif()
