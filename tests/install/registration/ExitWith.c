/* The program the program-step tests start:
 *   ExitWith CODE [FILE TEXT]   appends TEXT and a line feed to FILE, exits with CODE
 *   ExitWith wait STOP STARTED  creates STARTED, then waits (at most two
 *                               minutes) until STOP exists, and removes
 *                               STARTED as it ends */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

int main(int argc, char** argv) {
  if (argc >= 4 && strcmp(argv[1], "wait") == 0) {
    FILE* f = fopen(argv[3], "wb");
    if (f) fclose(f);
    for (int i = 0; i < 6000 && GetFileAttributesA(argv[2]) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(20);
    DeleteFileA(argv[3]);
    return 0;
  }
  if (argc >= 4) {
    FILE* f = fopen(argv[2], "ab");
    if (f) {
      fprintf(f, "%s\n", argv[3]);
      fclose(f);
    }
  }
  return argc >= 2 ? atoi(argv[1]) : 0;
}
