/* Functions that the compiler's runtime libraries call and that the oldest
 * Windows the programs support (XP SP3; XP x64 for the 64-bit programs)
 * does not export. Each is defined here as the import slot the libraries
 * call through ("__imp_" + name), so the program imports nothing newer:
 * the first call looks the function up in the running system and takes
 * the system's own when there is one, else the stand-in below.
 *
 * Linked into every program that ships (vx_windows_program in CMake); an
 * import-table test fails when a newer function creeps in again. */
#include <windows.h>

/* GetTickCount64 (Vista): the 32-bit tick count with its wraps counted. */
static ULONGLONG WINAPI TickCount64FromTickCount(void) {
  static volatile LONG guard;
  static DWORD last, wraps;
  ULONGLONG result;
  DWORD now;
  while (InterlockedExchange(&guard, 1)) Sleep(0);
  now = GetTickCount();
  if (now < last) ++wraps;
  last = now;
  result = ((ULONGLONG)wraps << 32) | now;
  InterlockedExchange(&guard, 0);
  return result;
}

typedef ULONGLONG(WINAPI* TickCount64Function)(void);
static ULONGLONG WINAPI FirstTickCount64(void);

#ifdef _WIN64
#define VX_IMPORT_SLOT(name, decorated) "__imp_" name
#else
#define VX_IMPORT_SLOT(name, decorated) "__imp__" decorated
#endif

__attribute__((used)) TickCount64Function vxTickCount64Slot __asm__(VX_IMPORT_SLOT("GetTickCount64", "GetTickCount64@0")) =
    FirstTickCount64;

static ULONGLONG WINAPI FirstTickCount64(void) {
  TickCount64Function system =
      (TickCount64Function)(void (*)(void))GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount64");
  vxTickCount64Slot = system ? system : TickCount64FromTickCount;
  return vxTickCount64Slot();
}
