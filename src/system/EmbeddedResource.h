// The native engine's resources: what RCDATA resources are in the Windows
// engine, bytes compiled into the program and registered under a name
// before it starts. The sandbox host's LoadDataResource finds them.
#pragma once

#include <cstddef>
#include <string>

namespace vx {

void RegisterEmbeddedResource(const std::string& name, const unsigned char* data, size_t size);
void UnregisterEmbeddedResource(const std::string& name);

}  // namespace vx
