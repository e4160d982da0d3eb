zfen_add_test(test_state SOURCES tests/test_state.cpp LIBS zfen_state)

# Writes a saved blob to a file, for tools outside the build to look at.
add_executable(write_blob tests/write_blob.cpp)
target_link_libraries(write_blob PRIVATE zfen_state zfen_warnings)

if(NOT CMAKE_CROSSCOMPILING)
  add_test(NAME tar_listing COMMAND sh ${PROJECT_SOURCE_DIR}/tests/tar_listing.sh $<TARGET_FILE:write_blob>)
endif()

# Every allocation of the archive code and of the LV2 save failed in turn, through
# the GNU linker's --wrap; native builds only.
if(NOT CMAKE_CROSSCOMPILING)
  zfen_add_test(test_state_oom SOURCES tests/test_state_oom.cpp LIBS zfen_lv2_objs zfen_state)
  target_link_options(test_state_oom PRIVATE -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc)
endif()
