zfen_add_test(test_lv2 SOURCES tests/test_lv2_instance.cpp tests/engine_probe.cpp
  LIBS zfen_lv2_objs)

if(NOT CMAKE_CROSSCOMPILING AND ZFEN_HOST_TOOL_TESTS)
  zfen_add_test(test_lv2_tools SOURCES tests/test_lv2_tools.cpp tests/engine_probe.cpp LIBS zfen_core)
  target_compile_definitions(test_lv2_tools PRIVATE ZFEN_LV2_BUNDLE="${ZFEN_LV2_BUNDLE}"
    ZFEN_LV2_URI_TEXT="${ZFEN_LV2_URI}")
  add_dependencies(test_lv2_tools zfen_lv2)
endif()

if(NOT CMAKE_CROSSCOMPILING)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LILV REQUIRED IMPORTED_TARGET lilv-0)
  zfen_add_test(test_lv2_lilv SOURCES tests/test_lv2_lilv.cpp tests/engine_probe.cpp
    LIBS zfen_core zfen_lv2_headers PkgConfig::LILV)
  target_compile_definitions(test_lv2_lilv PRIVATE ZFEN_LV2_BUNDLE="${ZFEN_LV2_BUNDLE}")
  add_dependencies(test_lv2_lilv zfen_lv2)
endif()

add_test(NAME lv2_exports COMMAND sh ${PROJECT_SOURCE_DIR}/tests/check_binary.sh $<TARGET_FILE:zfen_lv2> lv2_descriptor)
