/* The contract of the extraction library ("unpack.dll" on Windows,
 * libvxunpack.so natively): three stdcall exports and the records its
 * notifications carry. On 32-bit Windows every record field is 32 bits
 * wide; natively the pointer fields have the platform's pointer size.
 *
 *   Open(path, scrambled)      remembers the package file; true when a
 *                              cabinet was found in it
 *   Enumerate(notify, filter)  extracts every entry, asking `notify`;
 *                              non-zero on success
 *   Close()                    releases everything
 *
 * LastErrorText() is an addition for diagnostics: the reason of the last
 * failure of Open or Enumerate ("" after a success).
 */
#ifndef VX_UNPACK_H
#define VX_UNPACK_H

#include <stdint.h>

#if defined(_WIN32)
#define VX_UNPACK_CALL __stdcall
#else
#define VX_UNPACK_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum {
  VX_UNPACK_BEFORE_FILE = 1,  /* file record; answer 1 write, 0 skip, -1 stop */
  VX_UNPACK_AFTER_FILE = 2,   /* file record; answer -1 stop */
  VX_UNPACK_BEFORE_WRITE = 3, /* write record; answer -1 stop (block not written) */
  VX_UNPACK_NEXT_CABINET = 4, /* cabinet record; answer -1 not available */
  VX_UNPACK_PATH_SIZE = 260
};

typedef struct VxUnpackFileRecord {
  const char* entry;    /* stored path inside the cabinet */
  uint32_t size;        /* uncompressed size */
  uint32_t dateTime;    /* DOS date in the high 16 bits, DOS time in the low */
  uint32_t attributes;  /* FAT attribute bits as stored */
  char target[VX_UNPACK_PATH_SIZE]; /* filled by the caller on code 1 */
} VxUnpackFileRecord;

typedef struct VxUnpackWriteRecord {
  const char* entry;
  const char* target;
  uint32_t fileSize;
  uint32_t blockLength;  /* bytes about to be written */
  uint32_t written;      /* bytes of this file so far, this block included */
  const void* block;
} VxUnpackWriteRecord;

typedef struct VxUnpackCabinetRecord {
  const char* cabinet;                  /* file name of the cabinet needed */
  char folder[VX_UNPACK_PATH_SIZE];     /* where it was expected; may be replaced */
} VxUnpackCabinetRecord;

typedef int32_t(VX_UNPACK_CALL* VxUnpackNotify)(int32_t code, void* record);
typedef void(VX_UNPACK_CALL* VxUnpackFilter)(void* data, int32_t length);

typedef int32_t(VX_UNPACK_CALL* VxUnpackOpenFn)(const char* path, int32_t scrambled);
typedef int32_t(VX_UNPACK_CALL* VxUnpackEnumerateFn)(VxUnpackNotify notify, VxUnpackFilter filter);
typedef void(VX_UNPACK_CALL* VxUnpackCloseFn)(void);
typedef const char*(VX_UNPACK_CALL* VxUnpackLastErrorTextFn)(void);

#ifdef __cplusplus
}
#endif

#if defined(_WIN32) && !defined(__x86_64__) && defined(__cplusplus)
static_assert(sizeof(VxUnpackFileRecord) == 276, "file record layout");
static_assert(sizeof(VxUnpackWriteRecord) == 24, "write record layout");
static_assert(sizeof(VxUnpackCabinetRecord) == 264, "cabinet record layout");
#endif

#endif
