// The plug-in's one exported symbol.

#include <memory>

#include "plugin/providers.h"

extern "C" __attribute__((visibility("default"))) ProviderList get_providers() {
  ProviderList providers;
  providers.reserve(4);
  providers.push_back(std::make_shared<PsmaProvider>());
  providers.push_back(std::make_shared<PsmaACProvider>());
  providers.push_back(std::make_shared<PsmaDCProvider>());
  providers.push_back(std::make_shared<PsmaRCProvider>());
  return providers;
}
