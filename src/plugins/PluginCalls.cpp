#include "plugins/PluginCalls.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_set>

#include "system/kqUtils.h"
#include "vxplugin.h"

namespace vx {

// Blocks are tracked: a plug-in that frees what the engine never handed out
// (or frees twice, or hands back a static text) cannot corrupt the heap;
// such a free does nothing. Requests above 1 GiB are refused as nonsense.
namespace {
std::mutex g_blockLock;
std::unordered_set<void*>& Blocks() {
  static std::unordered_set<void*> blocks;
  return blocks;
}
constexpr size_t kMaxBlock = size_t(1) << 30;
}  // namespace

void* EngineAllocMem(size_t size) {
  if (size > kMaxBlock) return nullptr;
  void* block = std::calloc(size ? size : 1, 1);
  if (!block) return nullptr;
  std::lock_guard<std::mutex> lock(g_blockLock);
  Blocks().insert(block);
  return block;
}

void EngineFreeMem(void* block) {
  if (!block) return;
  {
    std::lock_guard<std::mutex> lock(g_blockLock);
    if (!Blocks().erase(block)) return;
  }
  std::free(block);
}

void CallPluginFunction(const TkqFunction& func, const TkqParams* params, intptr_t extra, std::string& result,
                        const TvxPluginCallSender& send) {
  result.clear();
  // The header, the name and every argument zero-terminated, one more zero.
  size_t size = sizeof(VXCallBlock) + func.Name.size() + 1;
  size_t count = params ? params->size() : 0;
  for (size_t i = 0; i < count; ++i) size += (*params)[i].size() + 1;
  size += 1;
  std::unique_ptr<char[]> block(new char[size]());
  char* text = block.get() + sizeof(VXCallBlock);
  std::memcpy(text, func.Name.data(), func.Name.size());
  char* args = text + func.Name.size() + 1;
  char* p = args;
  for (size_t i = 0; i < count; ++i) {
    const std::string& a = (*params)[i];
    std::memcpy(p, a.data(), a.size());
    p += a.size() + 1;
  }
  VXCallBlock header{};
  header.functionId = func.ID;
  header.name = text;
  header.firstArgument = args;
  header.argumentCount = int32_t(count);
  header.extra = extra;
  std::memcpy(block.get(), &header, sizeof header);

  ErrorModeScope scope;
  intptr_t answer = send(func.Owner, block.get());
  if (answer) {
    char* returned = reinterpret_cast<char*>(answer);
    result = returned;
    EngineFreeMem(returned);
  }
}

}  // namespace vx
