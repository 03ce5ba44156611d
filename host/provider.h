#pragma once
// Device factories offered by a plug-in through get_providers().

#include <memory>
#include <vector>

class KorvSPDevice;

class Provider {
 public:
  Provider() {}
  virtual ~Provider() {}
};

class KorvSPDeviceProvider : public Provider {
 public:
  KorvSPDeviceProvider() {}
  ~KorvSPDeviceProvider() override {}
  // A new device; the caller owns it.
  virtual KorvSPDevice* create() const = 0;
};

using ProviderList = std::vector<std::shared_ptr<Provider>>;
// The plug-in's one exported entry point. C linkage for a stable symbol name;
// the host and the plug-in share one compiler and standard library, so the
// C++ result type is fine.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" ProviderList get_providers();
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
using get_providers_fn = ProviderList (*)();
