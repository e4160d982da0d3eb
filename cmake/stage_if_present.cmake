# cmake -DFILES="a;b" -DDEST=dir -P stage_if_present.cmake
# Copies each file that exists into DEST (only when changed) and removes the
# copies of those that do not, so a bundle holds exactly what is at hand.
foreach(_file IN LISTS FILES)
  get_filename_component(_name "${_file}" NAME)
  if(EXISTS "${_file}")
    file(COPY_FILE "${_file}" "${DEST}/${_name}" ONLY_IF_DIFFERENT)
  else()
    file(REMOVE "${DEST}/${_name}")
  endif()
endforeach()
