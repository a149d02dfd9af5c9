// The binary side of the plug-in interface that is not a command: the
// engine's allocator behind CM_ALLOCMEM / CM_FREEMEM, and the call block
// that carries a call of a plug-in's registered function (EV_CALCFUNCTION).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "expr/kqExprEval.h"

namespace vx {

// The engine's allocator: the memory behind CM_ALLOCMEM (zero-filled) and
// CM_FREEMEM, and of the texts plug-ins hand back.
void* EngineAllocMem(size_t size);
void EngineFreeMem(void* block);

// Sends one EV_CALCFUNCTION call block; returns the plug-in's answer.
using TvxPluginCallSender = std::function<intptr_t(void* owner, void* block)>;
// Forwards a call of a plug-in's function: builds the call block (function
// ID, name, arguments, Extra), hands it to `send` for the owning plug-in,
// and takes the text the plug-in returned (freeing it with
// EngineFreeMem); a null answer gives an empty result.
void CallPluginFunction(const TkqFunction& func, const TkqParams* params, intptr_t extra, std::string& result,
                        const TvxPluginCallSender& send);

}  // namespace vx
