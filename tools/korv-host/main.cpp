// korv-host: loads the plug-in as the host framework does, creates each
// configured unit's root device and shows its children.

#include <dlfcn.h>

#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include <json/reader.h>
#include <json/value.h>

#include "host/korv_device.h"
#include "host/provider.h"

#ifndef PSMA_DEFAULT_PLUGIN
#define PSMA_DEFAULT_PLUGIN "libpsma.so"
#endif
#ifndef PSMA_DEFAULT_SITE
#define PSMA_DEFAULT_SITE "examples/site.json"
#endif

int main(int argc, char** argv) {
  const std::string site_path = argc > 1 ? argv[1] : PSMA_DEFAULT_SITE;
  const std::string plugin_path = argc > 2 ? argv[2] : PSMA_DEFAULT_PLUGIN;

  std::ifstream in(site_path);
  Json::Value site;
  Json::CharReaderBuilder builder;
  std::string errors;
  if (!in || !Json::parseFromStream(builder, in, &site, &errors)) {
    std::cerr << "korv-host: cannot read site file " << site_path << ": " << errors << "\n";
    return 2;
  }
  void* lib = dlopen(plugin_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::cerr << "korv-host: " << dlerror() << "\n";
    return 2;
  }
  dlerror();
  auto entry = reinterpret_cast<get_providers_fn>(dlsym(lib, "get_providers"));
  if (const char* error = dlerror()) {
    std::cerr << "korv-host: " << error << "\n";
    return 2;
  }
  {
    ProviderList providers = entry();
    auto controller = std::make_shared<KorvController>();
    for (const auto& unit : site["units"]) {
      const std::string type = unit["type"].asString();
      std::unique_ptr<KorvSPDevice> root;
      for (const auto& p : providers) {
        auto* provider = dynamic_cast<KorvSPDeviceProvider*>(p.get());
        if (provider == nullptr) continue;
        std::unique_ptr<KorvSPDevice> candidate(provider->create());
        if (candidate->DeviceType() == type) {
          root = std::move(candidate);
          break;
        }
      }
      if (!root) {
        std::cerr << "korv-host: no provider makes devices of type \"" << type << "\"\n";
        return 2;
      }
      root->Init(controller, unit["data_id"].asUInt(), unit);
      const bool ok = root->InitSetting(unit);
      std::cout << "unit " << root->DataId() << " (" << root->DeviceType() << ")"
                << (ok ? "" : " settings refused") << "\n";
      for (const auto& child : root->GetAllChildVDevices()) {
        std::cout << "  child " << child->DataId() << " " << child->DeviceType() << "\n";
      }
    }
  }
  dlclose(lib);
  return 0;
}
