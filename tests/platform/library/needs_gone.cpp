extern "C" int scanmon_gone_value();
extern "C" int HsifDllInit() {
  return scanmon_gone_value();
}
