// korv-host's site file: arbitrary text read as JSON and set up by the
// runner with the built plug-in, as korv-host --config does. Every site it
// cannot run must be refused with a reason, never by an exception or a
// crash. Ports are mapped to paths that cannot exist (equal ports stay
// equal), so no device is ever opened (a start waits for them), and the
// database is in memory.

#include <dlfcn.h>
#include <json/reader.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "gateway/core/runner.h"

namespace {

void Require(bool ok) {
  if (!ok) std::abort();
}

// Held for the whole run: each runner's own load and unload of the plug-in
// then only counts references.
void KeepPluginLoaded() {
  static void* const handle = ::dlopen(PSMA_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  Require(handle != nullptr);
}

void MapPorts(Json::Value& site) {
  if (!site.isObject() || !site["units"].isArray()) return;
  std::map<std::string, std::string> mapped;
  for (auto& unit : site["units"]) {
    if (!unit.isObject() || !unit["port"].isString() || unit["port"].asString().empty()) continue;
    const std::string port = unit["port"].asString();
    auto at = mapped.find(port);
    if (at == mapped.end()) {
      at = mapped.emplace(port, "/nonexistent/korv-site-fuzz/" + std::to_string(mapped.size()))
               .first;
    }
    unit["port"] = at->second;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  KeepPluginLoaded();
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  korv_host::Options options;
  const char* text = reinterpret_cast<const char*>(data);
  if (!reader->parse(text, text + size, &options.site, nullptr)) return 0;
  MapPorts(options.site);
  options.plugin = PSMA_PLUGIN_PATH;
  options.db = ":memory:";

  korv_host::Runner runner(options);
  std::string error;
  // No port is there (a start waits for it; nothing polls before Start),
  // and a unit without one is not simulated here: a refusal has a reason.
  if (!runner.Setup(error)) Require(!error.empty());
  runner.Stop();
  return 0;
}
