extern "C" int scanmon_gone_value() {
  return 1;
}
