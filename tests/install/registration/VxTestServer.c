/* A COM server for the registration tests: DllRegisterServer writes the
 * class key of its one class under HKLM\SOFTWARE\Classes\CLSID,
 * DllUnregisterServer deletes it again. The type library is a resource of
 * the DLL and is registered by the installer itself. */
#include <windows.h>

#define CLASS_KEY "SOFTWARE\\Classes\\CLSID\\{6A1B7C3E-2F4D-4E8A-9B1C-0D2E3F405163}"

static HMODULE g_module;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) g_module = instance;
  return TRUE;
}

__declspec(dllexport) HRESULT WINAPI DllRegisterServer(void) {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(g_module, path, MAX_PATH);
  HKEY key;
  if (n == 0 || n >= MAX_PATH) return E_FAIL;
  if (RegCreateKeyA(HKEY_LOCAL_MACHINE, CLASS_KEY "\\InprocServer32", &key) != ERROR_SUCCESS) return E_ACCESSDENIED;
  RegSetValueExA(key, NULL, 0, REG_SZ, (const BYTE*)path, n + 1);
  RegSetValueExA(key, "ThreadingModel", 0, REG_SZ, (const BYTE*)"Apartment", 10);
  RegCloseKey(key);
  return S_OK;
}

__declspec(dllexport) HRESULT WINAPI DllUnregisterServer(void) {
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, CLASS_KEY "\\InprocServer32");
  LONG r = RegDeleteKeyA(HKEY_LOCAL_MACHINE, CLASS_KEY);
  return r == ERROR_SUCCESS || r == ERROR_FILE_NOT_FOUND ? S_OK : E_FAIL;
}
