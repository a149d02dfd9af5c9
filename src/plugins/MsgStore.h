// The message store: maps message names to numbers and back. It holds the
// fixed events and commands of the plug-in protocol and gives new numbers,
// from 4096 on, to names used for the first time, so that plug-ins can
// define messages of their own by name.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vx {

class TMsgStore {
 public:
  TMsgStore();  // filled with the fixed messages

  // Name of the first entry with this number; "" when there is none.
  std::string NameOf(int32_t number) const;
  // Number of the first entry with this name (ASCII case ignored); 0 if none.
  int32_t NumberOf(const std::string& name) const;
  // Appends an entry, duplicates allowed.
  void AddMessage(int32_t number, const std::string& name);
  // The name's number, a new one (LastNumber + 1) if the name is unknown.
  int32_t Register(const std::string& name);

  int32_t LastNumber() const { return lastNumber_; }
  size_t Count() const { return entries_.size(); }

 private:
  std::vector<std::pair<std::string, int32_t>> entries_;
  int32_t lastNumber_ = 4095;
};

}  // namespace vx
