// A caller of the installed library: only the umbrella header and the exported symbols.
#include <kxmp/kxmp.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main() {
  setenv("KX_HOME", "/tmp/kxmp-consumer-home", 1);
  KXMAMountingPointSvc* svc = KXMAMountingPointSvc::getInstance();
  std::string text;
  int number = 0;
  CZoError err = svc->Initialize(0, nullptr, text, number, nullptr);
  std::printf("Initialize: %d\n", err.GetErrorCode());
  CZoError e = FXErrorUtil::ErrorErrNo(FX_LOC, 2, "probe %s", "file");
  std::printf("error text: %s\n", e.AsString().c_str());
  return err.IsError() ? 1 : 0;
}
