// Calls of the functions plug-ins register: the call block a plug-in
// receives (EV_CALCFUNCTION) and the text it hands back, and the error mode
// around the call.
#include <cstring>

#include "plugins/PluginCalls.h"
#include "support/ProjectFixture.h"
#include "vxplugin.h"

namespace {

using PluginCallsTest = vxtest::ProjectTest;

TEST_F(PluginCallsTest, CriticalErrorsFailSilentlyDuringDriveProbes) {
  uint32_t before = Host().SetProcessErrorMode(0);
  uint32_t during = 0xFFFF;
  vx::TvxEvaluator ev;
  vx::RegisterInstallerFunctions(ev);
  struct Calls : vx::TvxPluginFunctionCalls {
    std::function<intptr_t()> probe;
    void Call(const vx::TkqFunction& f, const vx::TkqParams* p, intptr_t extra, std::string& r) override {
      vx::CallPluginFunction(f, p, extra, r, [this](void*, void*) { return probe(); });
    }
  } calls;
  calls.probe = [&]() -> intptr_t {
    during = Host().SetProcessErrorMode(0);
    Host().SetProcessErrorMode(during);
    return 0;
  };
  ev.SetPluginCalls(&calls);
  static int plugin;
  ev.AddPluginFunction("Probe", 0, &plugin);
  std::string r;
  ev.Calc(&db, "Probe", false, 0, r);
  EXPECT_EQ(during & vx::kSemFailCriticalErrors, vx::kSemFailCriticalErrors);
  EXPECT_EQ(Host().SetProcessErrorMode(before), 0u);  // restored after the call
}

TEST_F(PluginCallsTest, PluginFunctionsReceiveTheCallBlock) {
  vx::TkqFunction func;
  func.Name = "Sum";
  func.ID = 38;
  static int plugin;
  func.Owner = &plugin;
  vx::TkqParams params{"1", "", "abc"};
  std::string seenName;
  std::vector<std::string> seenArgs;
  int32_t seenId = -1, seenCount = -1;
  intptr_t seenExtra = 0;
  void* seenOwner = nullptr;
  std::string r;
  vx::CallPluginFunction(func, &params, 77, r, [&](void* owner, void* p) -> intptr_t {
    auto* block = static_cast<VXCallBlock*>(p);
    seenOwner = owner;
    seenId = block->functionId;
    seenCount = block->argumentCount;
    seenExtra = block->extra;
    seenName = block->name;
    EXPECT_EQ(block->name, reinterpret_cast<char*>(p) + sizeof(VXCallBlock));
    const char* a = block->firstArgument;
    for (int i = 0; i < block->argumentCount; ++i, a += std::strlen(a) + 1) seenArgs.push_back(a);
    EXPECT_EQ(*a, '\0');  // one more zero byte ends the list
    char* answer = static_cast<char*>(vx::EngineAllocMem(6));
    std::memcpy(answer, "three", 6);
    return reinterpret_cast<intptr_t>(answer);
  });
  EXPECT_EQ(r, "three");
  EXPECT_EQ(seenOwner, &plugin);
  EXPECT_EQ(seenId, 38);
  EXPECT_EQ(seenCount, 3);
  EXPECT_EQ(seenExtra, 77);
  EXPECT_EQ(seenName, "Sum");
  EXPECT_EQ(seenArgs, (std::vector<std::string>{"1", "", "abc"}));

  // Without arguments two zero bytes follow the name; a null answer is empty.
  r = "stale";
  vx::CallPluginFunction(func, nullptr, 0, r, [&](void*, void* p) -> intptr_t {
    auto* block = static_cast<VXCallBlock*>(p);
    EXPECT_EQ(block->argumentCount, 0);
    EXPECT_EQ(block->firstArgument, block->name + 4);
    EXPECT_EQ(block->firstArgument[0], '\0');
    return 0;
  });
  EXPECT_EQ(r, "");
}

}  // namespace
