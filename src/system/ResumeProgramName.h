/* The name the engine gives its resume program: "vx" in place of the first
 * two characters of a unique name, then ".exe", as in "vxI0AVI0.exe". The
 * six characters kept are base-32 digits (0-9, A-V): the last digit of the
 * day and the five digits of the centisecond of the day, whose first digit
 * is at most 8 (a day has 8,640,000 centiseconds, less than 9 x 32^4).
 * Only a program of that name removes itself after a resumed run, so a
 * setup file that someone starts with the resume switch by hand is never
 * deleted, nor the engine copy a launcher runs ("VXEngine.exe"). Plain C:
 * the launcher in front of setup files uses it too. */
#ifndef VX_RESUME_PROGRAM_NAME_H
#define VX_RESUME_PROGRAM_NAME_H

#include <stddef.h>

static inline int VxIsResumeProgramName(const char* name, size_t length) {
  if (length != 12 || (name[0] | 0x20) != 'v' || (name[1] | 0x20) != 'x' || name[8] != '.' ||
      (name[9] | 0x20) != 'e' || (name[10] | 0x20) != 'x' || (name[11] | 0x20) != 'e')
    return 0;
  if (name[3] < '0' || name[3] > '8') return 0;
  for (size_t i = 2; i < 8; ++i) {
    char c = name[i];
    if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'V'))) return 0;
  }
  return 1;
}

#endif
