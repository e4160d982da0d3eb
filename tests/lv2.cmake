zfen_add_test(test_lv2 SOURCES tests/test_lv2_instance.cpp tests/engine_probe.cpp
  LIBS zfen_lv2_objs)
