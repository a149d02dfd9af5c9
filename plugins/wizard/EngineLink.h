// The wizard's view of the engine: every question it asks and every change
// it makes goes through the three entries of the plug-in start-up record
// (vxplugin.h) and nothing else, so that a wizard of a third party could be
// written the same way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vxplugin.h"

namespace vxwiz {

struct FeatureInfo {
  std::string id, name, description, parentId;
  bool required = false;
  int depth = 0;  // 0 for a top-level feature
};

struct InstallTypeInfo {
  std::string id, name, description;
  bool custom = false;
};

// What the engine reports about a destination folder (CM_GETFOLDERINFO).
struct FolderInfo {
  bool known = false;  // the engine answered at all
  bool drive = false, exists = false, creatable = false, blocked = false;
  uint64_t freeBytes = 0;
};

class EngineLink {
 public:
  EngineLink(int32_t pluginId, VXSendCommandProc send, VXSendCommandByNameProc sendByName)
      : id_(pluginId), send_(send), sendByName_(sendByName) {}
  bool Connected() const { return send_ != nullptr; }

  std::string Variable(const std::string& name);
  // Whether the run is silent (the variable SilentMode): no page, no question.
  bool Silent();
  void SetVariable(const std::string& name, const std::string& value);
  std::string ParseText(const std::string& text);
  bool CalcBool(const std::string& expression);
  std::string ConfigParam(const std::string& group, const std::string& name, const std::string& def);
  std::vector<std::string> ConfigNames(const std::string& group);

  // The feature tree depth-first, with the depth of every feature.
  std::vector<FeatureInfo> Features();
  int FeatureState(const std::string& id);  // 0 off, 1 on, 2 partly on
  bool SetFeatureState(const std::string& id, bool on);
  std::vector<InstallTypeInfo> InstallTypes();
  bool SetInstallType(const std::string& id);
  std::string ActiveInstallType();

  bool SetPassword(const std::string& password);  // true: accepted
  bool PasswordValid();
  void AbortInstall();

  // A file of the machine the engine installs on; relative names count
  // from the setup's main package. False when it cannot be read or is
  // larger than `limit` bytes.
  bool ReadFile(const std::string& path, std::string& bytes, size_t limit);
  FolderInfo Folder(const std::string& path);

 private:
  vx_param Send(int32_t msg, vx_param p1, vx_param p2) const { return send_ ? send_(id_, msg, p1, p2, 0) : 0; }
  vx_param SendByName(const char* name, vx_param p1, vx_param p2) const {
    return sendByName_ ? sendByName_(id_, name, p1, p2, 0) : 0;
  }
  // The buffer protocol: size first, then the text.
  template <class Call>
  std::string Fetch(Call&& call, size_t limit = size_t(64) << 20) const;

  int32_t id_;
  VXSendCommandProc send_;
  VXSendCommandByNameProc sendByName_;
};

}  // namespace vxwiz
