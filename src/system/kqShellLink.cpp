#include "system/kqShellLink.h"

#include <algorithm>

#include "system/host.h"
#include "system/kqFileUtils.h"

namespace vx {

namespace {

std::string WithoutQuotes(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '"'), text.end());
  return text;
}

int ShowCommand(uint8_t code) {
  switch (code) {
    case TkqShellLink::kShowMinimized: return kSwShowMinNoActive;
    case TkqShellLink::kShowMaximized: return kSwShowMaximized;
    default: return kSwShowNormal;
  }
}

}  // namespace

bool TkqShellLink::Save(const std::string& linkFile) {
  LinkFile = WithoutQuotes(linkFile);
  ShellLinkData data;
  data.target = WithoutQuotes(Target);
  data.arguments = Arguments;
  data.workingFolder = WithoutQuotes(WorkingFolder);
  data.description = WithoutQuotes(Description);
  data.iconFile = WithoutQuotes(IconFile);
  data.iconIndex = IconIndex;
  data.hotkey = Hotkey;
  data.showCmd = ShowCommand(ShowCode);
  Host& host = CurrentHost();
  if (!host.SaveShellLink(LinkFile, data)) return false;
  host.NotifyShellItemChanged(LinkFile);
  if (!data.iconFile.empty() && FileExists(data.iconFile)) host.NotifyShellItemChanged(data.iconFile);
  return true;
}

}  // namespace vx
