// Loads the built plug-in the way the host does and makes one device of each
// provider.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "host/korv_device.h"
#include "host/provider.h"

namespace {

struct Library {
  Library() : handle(dlopen(PSMA_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL)) {}
  ~Library() {
    if (handle != nullptr) dlclose(handle);
  }
  void* handle;
};

TEST(PluginLoad, OffersFourProvidersInOrderThatMakeTheirDevices) {
  Library lib;
  ASSERT_NE(lib.handle, nullptr) << dlerror();
  dlerror();
  auto entry = reinterpret_cast<get_providers_fn>(dlsym(lib.handle, "get_providers"));
  const char* error = dlerror();
  ASSERT_EQ(error, nullptr) << error;
  ASSERT_NE(entry, nullptr);

  const char* types[] = {"psma", "psma-ac", "psma-dc", "psma-rc"};
  {
    ProviderList first = entry();
    ProviderList second = entry();
    ASSERT_EQ(first.size(), 4u);
    ASSERT_EQ(second.size(), 4u);
    for (std::size_t k = 0; k < 4; ++k) {
      EXPECT_NE(first[k].get(), second[k].get()) << "every call makes new providers";
      auto* provider = dynamic_cast<KorvSPDeviceProvider*>(first[k].get());
      ASSERT_NE(provider, nullptr);
      std::unique_ptr<KorvSPDevice> device(provider->create());
      ASSERT_NE(device, nullptr);
      EXPECT_EQ(device->DeviceType(), types[k]);
    }
  }  // providers and devices are gone before the library is closed
}

TEST(PluginLoad, OnlyGetProvidersIsVisible) {
  Library lib;
  ASSERT_NE(lib.handle, nullptr) << dlerror();
  EXPECT_NE(dlsym(lib.handle, "get_providers"), nullptr);
  EXPECT_EQ(dlsym(lib.handle, "_ZN4PsmaC1Ev"), nullptr) << "Psma's constructor must stay hidden";
}

}  // namespace
