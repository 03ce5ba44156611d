// Uses the installed host layer: a controller, the clock and its time stamp,
// and the plug-in from the host's plug-in folder, opened as the host opens it.

#include <dlfcn.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstdio>
#include <memory>
#include <string>

#include "host/korv_controller.h"
#include "host/korv_device.h"
#include "host/provider.h"
#include "host/ttime.h"

#ifndef PLUGIN_DIR
#define PLUGIN_DIR ""
#endif

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : PLUGIN_DIR;
  korv::SetLocalNow(boost::posix_time::time_from_string("2026-12-07 08:00:00"));
  const ttime stamp = get_ttime(korv::LocalNow());
  if (stamp[2] != 12 || stamp[3] != 7) return 1;

  void* lib = dlopen((dir + "/libpsma.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  dlerror();
  auto entry = reinterpret_cast<get_providers_fn>(dlsym(lib, "get_providers"));
  if (dlerror() != nullptr || entry == nullptr) return 1;
  int types = 0;
  {
    auto controller = std::make_shared<KorvController>();
    for (const auto& p : entry()) {
      auto* provider = dynamic_cast<KorvSPDeviceProvider*>(p.get());
      if (provider == nullptr) return 1;
      std::unique_ptr<KorvSPDevice> device(provider->create());
      device->Init(controller, 1, Json::Value(Json::objectValue));
      std::printf("%s\n", device->DeviceType().c_str());
      ++types;
    }
  }
  dlclose(lib);
  return types == 4 ? 0 : 1;
}
