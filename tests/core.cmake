zfen_add_test(test_core SOURCES tests/test_parameters.cpp tests/test_engine.cpp tests/engine_probe.cpp tests/engine_reference.cpp tests/test_engine_golden.cpp tests/engine_stagewise.cpp tests/test_engine_fused.cpp
  LIBS zfen_core)
