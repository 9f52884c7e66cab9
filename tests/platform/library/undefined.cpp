// Refers to a function that no library defines: the loader refuses the library
// when it binds every name at load time.
extern "C" int scanmon_defined_nowhere();
extern "C" int HsifDllInit() {
  return scanmon_defined_nowhere();
}
