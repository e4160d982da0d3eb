# The VST3 module's tests: a host of our own loading the built bundle, the
# parts driven directly, the cross-format state check and the concurrency
# test, also under ThreadSanitizer.
if(NOT COMMAND zfen_add_test) # a build without tests
  return()
endif()
set(ZFEN_VST3_HOST_SOURCES tests/vst3_host/host_objects.cpp tests/vst3_host/host_module.cpp
  tests/vst3_host/json_lite.cpp tests/vst3_host/blob_reader.cpp)

zfen_add_test(test_vst3_host SOURCES tests/test_vst3_host.cpp ${ZFEN_VST3_HOST_SOURCES}
  LIBS zfen_state ${CMAKE_DL_LIBS})
target_compile_definitions(test_vst3_host PRIVATE ZFEN_VST3_BUNDLE="${ZFEN_VST3_BUNDLE}")
add_dependencies(test_vst3_host zfen_vst3)

zfen_add_test(test_vst3_direct SOURCES tests/test_vst3_direct.cpp ${ZFEN_VST3_HOST_SOURCES}
  LIBS zfen_vst3_objs ${CMAKE_DL_LIBS})
zfen_add_test(test_vst3_concurrency SOURCES tests/test_vst3_concurrency.cpp ${ZFEN_VST3_HOST_SOURCES}
  LIBS zfen_vst3_objs ${CMAKE_DL_LIBS})

# What the binary exports and, on Windows, which DLLs it needs.
if(WIN32)
  set(_vst3_exports DllMain GetPluginFactory)
else()
  set(_vst3_exports GetPluginFactory ModuleEntry ModuleExit)
endif()
add_test(NAME vst3_exports COMMAND sh ${PROJECT_SOURCE_DIR}/tests/check_binary.sh $<TARGET_FILE:zfen_vst3> ${_vst3_exports})

if(NOT CMAKE_CROSSCOMPILING)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LILV REQUIRED IMPORTED_TARGET lilv-0)
  zfen_add_test(test_vst3_cross_format SOURCES tests/test_vst3_cross_format.cpp ${ZFEN_VST3_HOST_SOURCES}
    LIBS zfen_state zfen_lv2_headers PkgConfig::LILV ${CMAKE_DL_LIBS})
  target_compile_definitions(test_vst3_cross_format PRIVATE ZFEN_VST3_BUNDLE="${ZFEN_VST3_BUNDLE}"
    ZFEN_LV2_BUNDLE="${ZFEN_LV2_BUNDLE}")
  add_dependencies(test_vst3_cross_format zfen_vst3 zfen_lv2)
endif()

# The concurrency test with every piece it runs compiled under
# ThreadSanitizer. Only in native builds without other sanitizers, which
# cannot be combined with it.
option(ZFEN_TSAN "Build and run the VST3 concurrency test under ThreadSanitizer" ON)
if(ZFEN_TSAN AND NOT CMAKE_CROSSCOMPILING AND NOT ZFEN_SANITIZE)
  add_executable(test_vst3_concurrency_tsan tests/test_vst3_concurrency.cpp ${ZFEN_VST3_HOST_SOURCES}
    core/parameters.cpp core/filter_engine.cpp core/param_sync.cpp
    state/kv_map.cpp state/tar.cpp state/state_doc.cpp
    vst3/module.cpp vst3/factory.cpp vst3/processor.cpp vst3/controller.cpp vst3/editor_view.cpp
    vst3/stream_io.cpp)
  target_include_directories(test_vst3_concurrency_tsan PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(test_vst3_concurrency_tsan PRIVATE ZFEN_VERSION="${PROJECT_VERSION}")
  target_compile_options(test_vst3_concurrency_tsan PRIVATE -fsanitize=thread -O1 -g -fno-omit-frame-pointer)
  target_link_options(test_vst3_concurrency_tsan PRIVATE -fsanitize=thread)
  target_link_libraries(test_vst3_concurrency_tsan PRIVATE GTest::gtest_main zfen_warnings ${CMAKE_DL_LIBS})
  add_test(NAME test_vst3_concurrency_tsan COMMAND test_vst3_concurrency_tsan)
  set_tests_properties(test_vst3_concurrency_tsan PROPERTIES
    ENVIRONMENT "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1")
endif()
