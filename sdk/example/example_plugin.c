/*
 * A minimal user-interface plug-in, in plain C.
 *
 * It reports its ID from GetPluginInfo, keeps the engine's entries from the
 * start-up record, and on EV_SHOWDIALOGS (before the installation) reads the
 * variable "AppName" with the buffer protocol and records that its page
 * "ran" by setting the variable "ExamplePageShown". A real wizard would
 * create its dialog here and answer non-zero when the user cancels.
 *
 * Build for the 32-bit engine (i686) and for the 64-bit engine (x64):
 *   i686-w64-mingw32-gcc -shared -o example.dll example_plugin.c -I.. -Wl,--kill-at
 *   x86_64-w64-mingw32-gcc -shared -o example.dll example_plugin.c -I..
 * The package lists it with <plugin id="Example.Page"/>.
 */
#include <stdlib.h>
#include <string.h>

#include "vxplugin.h"

static int32_t g_pluginId;
static VXSendCommandProc g_send;

/* Reads a variable with the two-call buffer protocol; the caller frees. */
static char* GetVariable(const char* name) {
  vx_param size = g_send(g_pluginId, CM_GETVARIABLE, (vx_param)name, 0, 0);
  char* text;
  if (size <= 0) return NULL; /* unknown or empty */
  text = (char*)malloc((size_t)size);
  if (!text) return NULL;
  g_send(g_pluginId, CM_GETVARIABLE, (vx_param)name, (vx_param)text, 0);
  return text;
}

static vx_param VXAPI Handler(int32_t msgId, const char* msgName, vx_param param1, vx_param param2) {
  (void)msgName;
  (void)param2;
  switch (msgId) {
    case EV_SETSTARTUPINFO: {
      const VXStartupInfo* info = (const VXStartupInfo*)param1;
      g_pluginId = info->pluginId;
      g_send = info->sendCommand;
      return 0;
    }
    case EV_SHOWDIALOGS:
      if (param1 == 0 && g_send) {
        char* appName = GetVariable("AppName");
        g_send(g_pluginId, CM_SETVARIABLE, (vx_param) "ExamplePageShown", (vx_param)(appName ? appName : "1"), 0);
        free(appName);
      }
      return 0; /* 0: go on; non-zero would cancel the setup */
    default:
      return 0;
  }
}

VXEXPORT void VXAPI GetPluginInfo(VXPluginInfo* info) {
  strcpy(info->pluginId, "Example.Page");
  info->minEngineVersion = VX_ENGINE_VERSION;
  info->handler = Handler;
}
