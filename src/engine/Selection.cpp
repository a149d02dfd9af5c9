#include "engine/EngineStages.h"

#include "database/VXClasses.h"

// The first selection: the silent settings' or the default install type,
// or every available feature; after a restart or for a repair the choices
// made before.
namespace vx {

bool EngineStages::Preselect() {
  TvxInstallTypes& types = *session_.Database().InstallTypes;
  if (!session_.State().repair && !session_.State().resuming) {
    if (types.Count() > 0) {
      std::string id = session_.SilentSettings().ActiveInstallType;
      for (int i = 0; i < types.Count() && id.empty(); ++i)
        if (types[i].Default && IsAvailable(&types[i])) id = types[i].ID;
      if (id.empty()) id = types[0].ID;
      session_.Database().SelectInstallType(id);
    } else {
      for (int i = 0; i < session_.Database().Features->Count(); ++i)
        if (IsAvailable(&(*session_.Database().Features)[i])) SetSelected((*session_.Database().Features)[i], true);
    }
  } else {
    // The choices were made before: only the active install type is set.
    std::string id = session_.State().repair ? session_.SilentSettings().ActiveInstallType : session_.Database().ActiveInstallType;
    TvxInstallType* active = nullptr;
    for (int i = 0; i < types.Count() && !active; ++i)
      if (types[i].ID == id) active = &types[i];
    types.SetActive(active);
  }
  if (!session_.State().resuming) {
    for (int i = 0; i < session_.SilentSettings().Features->Count(); ++i) {
      TvxFeature* f = session_.Database().Features->FindFeature((*session_.SilentSettings().Features)[i].ID);
      if (f && IsAvailable(f)) SetSelected(*f, true);
    }
  }
  return true;
}

}  // namespace vx
