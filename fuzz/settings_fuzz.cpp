// The root's settings object, as a site file hands it over: arbitrary text
// read as JSON and given to InitSetting of a root that already holds
// children, then a first poll and a value request to every child. The JSON
// library's conversion error is how a setting the root cannot read is
// refused, and then the old children must stay; nothing else may go wrong.

#include <json/reader.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "root/psma.h"

namespace {

void Require(bool ok) {
  if (!ok) std::abort();
}

std::shared_ptr<KorvController> Controller() {
  static const auto controller = std::make_shared<KorvController>();
  return controller;
}

Json::Value Parse(const char* begin, const char* end, bool& ok) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value v;
  ok = reader->parse(begin, end, &v, nullptr);
  return v;
}

Json::Value Before() {
  static const char text[] =
      R"({"acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}], "rcSetting": {}})";
  bool ok = false;
  return Parse(text, text + sizeof text - 1, ok);
}

std::vector<KorvVDevice*> Children(Psma& root) {
  std::vector<KorvVDevice*> all;
  for (const auto& child : root.GetAllChildVDevices()) {
    Require(child != nullptr);
    all.push_back(child.get());
  }
  return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  bool parsed = false;
  const char* text = reinterpret_cast<const char*>(data);
  const Json::Value settings = Parse(text, text + size, parsed);
  if (!parsed) return 0;

  static const Json::Value before = Before();
  auto root = std::make_shared<Psma>();
  root->Init(Controller(), 1, settings);
  Require(root->InitSetting(before));
  const auto old_children = Children(*root);

  bool accepted = false;
  try {
    accepted = root->InitSetting(settings);
  } catch (const Json::Exception&) {
    Require(Children(*root) == old_children);
    return 0;
  }
  const auto children = Children(*root);
  Require(children.size() ==
          root->AcDevices().size() + root->DcDevices().size() + (root->RcDevice() ? 1 : 0));
  // Refused link settings keep the old children; a refusal otherwise means
  // there is no rectifier group.
  Require(accepted ? root->RcDevice() != nullptr
                   : root->RcDevice() == nullptr || children == old_children);
  for (const auto& ac : root->AcDevices()) {
    Require(root->GetChildVDevice(ac->DataId())->DataId() == ac->DataId());
  }
  for (const auto& dc : root->DcDevices()) {
    Require(root->GetChildVDevice(dc->DataId())->DataId() == dc->DataId());
  }
  for (KorvVDevice* child : children) {
    try {
      child->Get_Value(0, "v");
    } catch (const std::out_of_range&) {
    }
  }
  // A root with its rectifier group polls: the identification first.
  std::vector<std::uint8_t> sent;
  root->AttachLine([&sent](const std::uint8_t* b, unsigned n) {
    sent.assign(b, b + n);
    return true;
  });
  root->SetAnswerDelay(std::chrono::milliseconds(0));
  root->RefreshStatus();
  Require((root->RcDevice() != nullptr) == !sent.empty());
  Controller()->DrainWork();
  return 0;
}
