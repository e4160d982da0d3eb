# CPack reads this for each package it makes (CPACK_PROJECT_CONFIG_FILE): what
# differs between them. package/CMakeLists.txt sets the rest.
if(CPACK_GENERATOR MATCHES "^(TGZ|ZIP)$")
  # The archives carry the note that says where to copy each folder.
  set(CPACK_INSTALLED_DIRECTORIES "${CPACK_ZFEN_NOTE_DIR};.")
elseif(CPACK_GENERATOR STREQUAL "NSIS")
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_FILE_NAME}-setup")
  # The uninstaller deletes the factory presets by name, so it leaves a user's own.
  file(GLOB _presets RELATIVE "${CPACK_ZFEN_BUILT_PRESETS}" "${CPACK_ZFEN_BUILT_PRESETS}/*.vstpreset")
  set(_deletes)
  foreach(_preset IN LISTS _presets)
    string(REPLACE "$" "$$" _preset "${_preset}")
    list(APPEND _deletes "Delete \"\${PRESET_DIR}\\${_preset}\"")
  endforeach()
  string(JOIN "\n    " CPACK_ZFEN_PRESET_DELETES ${_deletes})
elseif(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_STRIP_FILES ON)
  # Depends: the libraries the plug-in binaries link. Recommends: those only
  # the editor program links (WebKitGTK and GTK): without them a host shows no
  # editor, and the plug-in works as always. CPack's own shlibdeps scan
  # (CPACK_DEBIAN_PACKAGE_SHLIBDEPS) would make all of them Depends.
  include("${CPACK_ZFEN_BINARIES}")
  set(_work "${CPACK_PACKAGE_DIRECTORY}/shlibdeps")
  file(MAKE_DIRECTORY "${_work}/debian")
  file(WRITE "${_work}/debian/control" "") # dpkg-shlibdeps wants one
  set(_recommends)
  if(ZFEN_EDITOR_BINARY)
    set(_recommends -dRecommends "${ZFEN_EDITOR_BINARY}")
  endif()
  execute_process(COMMAND dpkg-shlibdeps -O ${ZFEN_PLUGIN_BINARIES} ${_recommends}
    WORKING_DIRECTORY "${_work}" OUTPUT_VARIABLE _substvars ERROR_VARIABLE _error RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "dpkg-shlibdeps (dpkg-dev) failed: ${_error}")
  endif()
  if(_substvars MATCHES "shlibs:Depends=([^\n]*)")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
  endif()
  if(_substvars MATCHES "shlibs:Recommends=([^\n]*)")
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "${CMAKE_MATCH_1}")
  endif()
endif()
