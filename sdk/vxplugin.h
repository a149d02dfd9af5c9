/*
 * vxplugin.h -- the interface between the VX setup engine and its
 * user-interface plug-ins.
 *
 * A plug-in is a DLL that a package brings in its "plugins" folder. The
 * engine loads it, calls its exported GetPluginInfo once, and from then on
 * talks to it through the message handler whose address GetPluginInfo put
 * into the information record: events (EV_*) go from the engine to the
 * plug-in, commands (CM_*) from the plug-in to the engine through the three
 * entries of the start-up record. Every message has a number and a name;
 * numbers below 4096 are fixed (listed here), further names get numbers at
 * run time from GetMessageID.
 *
 * Calling convention: every function here is __stdcall on Windows (the
 * callee cleans the stack). Plain C; include it from C or C++.
 *
 * Bitness: a plug-in has the bitness of the engine that loads it. The
 * 32-bit engine (VXEngine.exe for x86) loads 32-bit DLLs, the 64-bit engine
 * (x64) 64-bit DLLs; a DLL of the other kind is refused like any file that
 * cannot be loaded ("Cannot load ... plug-in."). Ship one DLL per engine you
 * support.
 *
 * Record layouts: the records are packed. Every field that holds an
 * address -- and the message parameters and results, which may carry
 * addresses -- is pointer-sized: 4 bytes for 32-bit Windows (i686), 8 bytes
 * for 64-bit Windows (x64) and for the native sandbox build. The offsets of
 * both Windows targets are written beside each field (32-bit / 64-bit), and
 * the static checks at the end of this file prove them when the header is
 * compiled for either target. Never hard-code sizes; use sizeof and
 * offsetof.
 *
 * Texts are 8-bit strings in the system code page, zero-terminated.
 */
#ifndef VXPLUGIN_H
#define VXPLUGIN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define VXAPI __stdcall
#define VXEXPORT __declspec(dllexport)
#else
#define VXAPI
#define VXEXPORT __attribute__((visibility("default")))
#endif

/* A message parameter or result: a number or an address. 32 bits on
 * Windows i686, 64 bits on Windows x64: always pointer-sized. */
typedef intptr_t vx_param;

#define VX_RECORD_VERSION 0x10000 /* written into both records */
#define VX_ENGINE_VERSION 0x30500 /* this engine; plug-ins needing more are refused */
#define VX_MAX_PATH 261

/* ---- Events: engine -> plug-in ------------------------------------------ */
enum {
  EV_SETSTARTUPINFO = 1,        /* p1: VXStartupInfo*; copy what you need */
  EV_LOAD = 2,                  /* answer non-zero to decline: you are unloaded at once */
  EV_UNLOAD = 3,
  EV_START = 4,                 /* all plug-ins loaded, selection preset, before any dialog */
  EV_FINISH = 5,                /* p1: 1 when the installation succeeded, else 0 */
  EV_SHOWDIALOGS = 6,           /* p1: 0 before, 1 after the installation; non-zero answer cancels */
  EV_LANGUAGECHANGED = 7,       /* p1: const char* language code ("ENU") */
  EV_BEFOREINSTALL = 8,         /* non-zero answer: nothing is installed */
  EV_AFTERINSTALL = 9,
  EV_BEFOREPROCESSITEMS = 10,   /* p1: MAKELONG(0, item kind); non-zero answer skips the phase */
  EV_AFTERPROCESSITEMS = 11,
  EV_BEFOREPROCESSITEM = 12,    /* p1: MAKELONG(0, item kind), p2: item record; non-zero skips it */
  EV_AFTERPROCESSITEM = 13,
  EV_PROCESSITEM = 14,          /* p1: decision code (low word), p2: file record */
  EV_FILEINSTALLPROGRESS = 15,  /* p1: percent of the file, p2: percent of the whole copy */
  EV_FEATURESTATECHANGED = 16,  /* p1: const char* feature ID, p2: 0 off, 1 on, 2 partly on */
  EV_INSTALLTYPECHANGED = 17,   /* p1: const char* install type ID */
  EV_VERSIONCONFLICT = 18,      /* p1: const char* destination file; answer: the user's choice */
  EV_GETPACKAGE = 19,           /* p1: const char* package file, p2: char[260] folder to try;
                                   non-zero: try the folder now in p2; 0: abort */
  EV_CHECKLAUNCHCONDITIONS = 20,/* non-zero answer: the setup does not start */
  EV_CALCFUNCTION = 21,         /* p1: VXCallBlock*; answer: text from CM_ALLOCMEM, or 0 */
  EV_QUERYREBOOT = 22,
  EV_ABORTINSTALL = 23
};

/* ---- Commands: plug-in -> engine (SendCommand) ---------------------------- */
enum {
  CM_ABORTINSTALL = 256,
  CM_SUSPENDINSTALL = 257,
  CM_RESUMEINSTALL = 258,
  CM_PARSETEXT = 259,           /* p1: text, p2: buffer            -> expanded text */
  CM_GETLANGUAGE = 260,         /* p1: code or "", p2: buffer      -> VXLanguageRecord */
  CM_SETLANGUAGE = 261,         /* p1: code */
  CM_GETVARIABLE = 262,         /* p1: name, p2: buffer            -> value */
  CM_SETVARIABLE = 263,         /* p1: name, p2: value */
  CM_GETFEATURE = 264,          /* p1: ID or "", p2: buffer        -> VXFeatureRecord */
  CM_GETFEATURESTATE = 265,     /* p1: ID -> 0 off, 1 on, 2 partly on */
  CM_SETFEATURESTATE = 266,     /* p1: ID, p2: 1 on / other off    -> 0 or -1 */
  CM_GETINSTALLTYPE = 267,      /* p1: ID or "", p2: buffer        -> VXInstallTypeRecord */
  CM_SETINSTALLTYPE = 268,      /* p1: ID -> 0 or -1 */
  CM_SETPASSWORD = 269,         /* p1: password -> 0 accepted, 1 wrong */
  CM_GETPCPARAM = 270,          /* p1: const char* [3] {group, name, default}, p2: buffer */
  CM_GETPCGROUPNAMES = 271,     /* p1: buffer -> names joined by CR LF */
  CM_GETPCPARAMNAMES = 272,     /* p1: group, p2: buffer */
  CM_GETPCCUSTOMCONFIG = 273,   /* p1: buffer -> XML text */
  CM_CALCEXPRESSION = 274,      /* p1: expression, p2: extra -> text from the engine allocator */
  CM_CALCBOOLEXPRESSION = 275,  /* p1: expression, p2: extra -> 1 or 0 */
  CM_REGISTERFUNCTION = 276,    /* p1: name, p2: argument count or -1 -> function ID or 0 */
  CM_ALLOCMEM = 277,            /* p1: size -> zero-filled block */
  CM_FREEMEM = 278,             /* p1: block */
  CM_ADDLOGRECORD = 279,        /* p1: section, p2: "name=value" */
  CM_GETINSTALLICON = 280,      /* p1: non-zero for 16 x 16 -> icon handle */
  CM_ISPASSWORDVALID = 281,     /* -> 0 valid, 1 not */
  CM_CALCACTIONS = 282          /* p1: "<actions>..." XML, p2: context -> allocated text */
};
/* Item kinds: the high word of the first parameter of EV_BEFOREPROCESSITEMS,
 * EV_AFTERPROCESSITEMS, EV_BEFOREPROCESSITEM and EV_AFTERPROCESSITEM. */
enum {
  VX_ITEM_FILES = 0,
  VX_ITEM_REGISTRY = 1,
  VX_ITEM_INI = 2,
  VX_ITEM_SHORTCUTS = 3,
  VX_ITEM_SERVERS = 4,
  VX_ITEM_FONTS = 5,
  VX_ITEM_PROGRAMS = 6
};
/* EV_PROCESSITEM, low word of the first parameter: the copy's decision. */
enum { VX_FILE_WRITTEN = 0, VX_FILE_SKIPPED = 1 };

#define VX_FIRST_DYNAMIC_MESSAGE 4096 /* first number GetMessageID hands out */
#define VX_FIRST_PLUGIN_FUNCTION 38   /* first ID CM_REGISTERFUNCTION returns */

/* Buffer protocol (commands marked "buffer"): call with a null buffer to
 * get the size needed (0 means "nothing": no text, not found), allocate
 * that many bytes, call again with the buffer; the second call returns 0.
 * Allocation protocol (CM_CALCEXPRESSION, CM_CALCACTIONS): the result is a
 * block of the engine's allocator; free it with CM_FREEMEM. Setters return
 * 0 on success. */

/* ---- Entry points ----------------------------------------------------------- */

typedef vx_param(VXAPI* VXMessageHandler)(int32_t msgId, const char* msgName, vx_param param1, vx_param param2);
typedef int32_t(VXAPI* VXGetMessageIDProc)(int32_t pluginId, const char* name);
typedef vx_param(VXAPI* VXSendCommandProc)(int32_t pluginId, int32_t msgId, vx_param param1, vx_param param2,
                                           int32_t broadcast);
typedef vx_param(VXAPI* VXSendCommandByNameProc)(int32_t pluginId, const char* name, vx_param param1,
                                                 vx_param param2, int32_t broadcast);

#pragma pack(push, 1)

/* Offsets: 32-bit / 64-bit Windows. */

/* Filled by the plug-in in GetPluginInfo. The engine zero-fills it and sets
 * recordVersion before the call. */
typedef struct VXPluginInfo {
  int32_t recordVersion;          /*    0 */
  int32_t reserved1;              /*    4 */
  int32_t minEngineVersion;       /*    8: refused when above VX_ENGINE_VERSION */
  char pluginId[VX_MAX_PATH];     /*   12: must match the ID of an entry of the package */
  char reserved2[VX_MAX_PATH];    /*  273 */
  uint8_t refuse;                 /*  534: non-zero refuses the load */
  char reserved3[4623];           /*  535 */
  VXMessageHandler handler;       /* 5158 */
} VXPluginInfo;                   /* 5162 / 5166 bytes */

/* Sent with EV_SETSTARTUPINFO; valid only during that call. */
typedef struct VXStartupInfo {
  int32_t recordVersion;          /*   0: VX_RECORD_VERSION */
  int32_t engineVersion;          /*   4: VX_ENGINE_VERSION */
  int32_t pluginId;               /*   8: pass it to every command */
  char configFile[VX_MAX_PATH];   /*  12: full path, or "" */
  VXGetMessageIDProc getMessageID;             /* 273 */
  VXSendCommandProc sendCommand;               /* 277 / 281 */
  VXSendCommandByNameProc sendCommandByName;   /* 281 / 289 */
} VXStartupInfo;                  /* 285 / 297 bytes */

/* CM_GETLANGUAGE output; the texts follow the header inside the buffer. */
typedef struct VXLanguageRecord {
  const char* id;                 /* 0 */
  const char* description;        /* 4 /  8 */
  const char* nextId;             /* 8 / 16: or null for the last language */
} VXLanguageRecord;               /* 12 / 24 bytes, then the texts */

/* CM_GETFEATURE output. */
typedef struct VXFeatureRecord {
  const char* id;                 /*  0 */
  const char* name;               /*  4 /  8: expanded */
  const char* description;        /*  8 / 16: expanded */
  int32_t required;               /* 12 / 24: -1 true, 0 false */
  const char* parentId;           /* 16 / 28: or null at the top level */
  const char* nextId;             /* 20 / 36: depth-first successor, or null */
} VXFeatureRecord;                /* 24 / 44 bytes, then the texts */

/* CM_GETINSTALLTYPE output. */
typedef struct VXInstallTypeRecord {
  const char* id;                 /*  0 */
  const char* name;               /*  4 /  8 */
  const char* description;        /*  8 / 16 */
  int32_t custom;                 /* 12 / 24: -1 true, 0 false */
  const char* nextId;             /* 16 / 28: or null for the last */
} VXInstallTypeRecord;            /* 20 / 36 bytes, then the texts */

/* EV_CALCFUNCTION: a function the plug-in registered is being evaluated. */
typedef struct VXCallBlock {
  int32_t functionId;             /*  0 */
  const char* name;               /*  4 /  4: points at the text after the header */
  const char* firstArgument;      /*  8 / 12: arguments follow one another, each zero-terminated */
  int32_t argumentCount;          /* 12 / 20 */
  vx_param extra;                 /* 16 / 24 */
  /* 20 / 32: name, arguments, and one more zero byte */
} VXCallBlock;

/* The second parameter of EV_BEFOREPROCESSITEM, EV_PROCESSITEM and
 * EV_AFTERPROCESSITEM for files (item kind 0); valid during the call. */
typedef struct VXFileItemRecord {
  const char* path;               /*  0: the destination, or the file being removed */
  uint32_t size;                  /*  4 /  8 */
  uint32_t dosDateTime;           /*  8 / 12: DOS date in the high word, time in the low word */
  uint32_t attributes;            /* 12 / 16 */
  int32_t removal;                /* 16 / 20: 1 when the file is being removed, else 0 */
} VXFileItemRecord;               /* 20 / 24 bytes */

/* The second parameter of EV_BEFOREPROCESSITEM and EV_AFTERPROCESSITEM for
 * shortcuts (item kind 3); valid during the call. Texts are expanded. */
typedef struct VXShortcutItemRecord {
  const char* name;               /*  0: the link's path without ".lnk" */
  const char* commandLine;        /*  4 /  8: the program or document it starts */
  const char* arguments;          /*  8 / 16 */
  const char* workingFolder;      /* 12 / 24 */
  int32_t showCode;               /* 16 / 32: 1 minimised, 2 maximised, 0 otherwise */
  const char* iconFile;           /* 20 / 36 */
  int32_t iconIndex;              /* 24 / 44 */
  int32_t hotkey;                 /* 28 / 48: virtual key in the low byte, modifiers in the next */
  const char* description;        /* 32 / 52 */
  int32_t removal;                /* 36 / 60: 1 when the shortcut is being removed, else 0 */
} VXShortcutItemRecord;           /* 40 / 64 bytes */

/* The second parameter of EV_BEFOREPROCESSITEM and EV_AFTERPROCESSITEM for
 * registry values (item kind 1); valid during the call. */
typedef struct VXRegistryItemRecord {
  const char* key;                /*  0: the key path, beginning with its root name */
  const char* name;               /*  4 /  8: the value name, "" for the default value */
  const char* value;              /*  8 / 16: the data as the project gives it */
  int32_t type;                   /* 12 / 24: 1 int, 2 bin, 3 mstr, 0 string */
  int32_t removal;                /* 16 / 28: 1 when the value or key is being removed, else 0 */
} VXRegistryItemRecord;           /* 20 / 32 bytes */

/* The same for INI values (item kind 2). */
typedef struct VXIniItemRecord {
  const char* file;               /*  0 */
  const char* section;            /*  4 /  8 */
  const char* key;                /*  8 / 16 */
  const char* value;              /* 12 / 24 */
  int32_t removal;                /* 16 / 32: 1 when the key is being removed, else 0 */
} VXIniItemRecord;                /* 20 / 36 bytes */

/* The second parameter of EV_BEFOREPROCESSITEM and EV_AFTERPROCESSITEM for
 * server registration (item kind 4); valid during the call. Fonts (item
 * kind 5) carry no record. */
typedef struct VXServerItemRecord {
  const char* path;               /*  0: the file being registered */
  int32_t reserved;               /*  4 /  8: 0 */
} VXServerItemRecord;             /*  8 / 12 bytes */

/* The same for programs (item kind 6). Texts are expanded. */
typedef struct VXProgramItemRecord {
  const char* commandLine;        /*  0 */
  const char* arguments;          /*  4 /  8 */
  const char* workingFolder;      /*  8 / 16 */
  int32_t showCode;               /* 12 / 24: 1 minimised, 2 maximised, 3 hidden, 0 otherwise */
  const char* message;            /* 16 / 28 */
  int32_t moment;                 /* 20 / 36: 0 before installation, 1 after it, 2 before
                                     uninstallation, 3 after it, 4 before the dialogs */
} VXProgramItemRecord;            /* 24 / 40 bytes */

/* The block that carries a broadcast from another thread to the engine's
 * main thread (window message 0x5911); for reference only. */
typedef struct VXCrossThreadCall {
  int32_t senderId;               /*  0 */
  int32_t msgId;                  /*  4 */
  vx_param param1;                /*  8 */
  vx_param param2;                /* 12 / 16 */
  int32_t toAll;                  /* 16 / 24: low byte */
} VXCrossThreadCall;              /* 20 / 28 bytes */

#pragma pack(pop)

/* The one export every plug-in has (undecorated name "GetPluginInfo"). */
typedef void(VXAPI* VXGetPluginInfoProc)(VXPluginInfo* info);

/* ---- Layout checks for both Windows targets ---------------------------------- */
#define VX_CHECK(name, cond) typedef char vx_check_##name[(cond) ? 1 : -1]
#if defined(_WIN32) && !defined(_WIN64)
VX_CHECK(info_size, sizeof(VXPluginInfo) == 5162);
VX_CHECK(info_id, offsetof(VXPluginInfo, pluginId) == 12);
VX_CHECK(info_refuse, offsetof(VXPluginInfo, refuse) == 534);
VX_CHECK(info_handler, offsetof(VXPluginInfo, handler) == 5158);
VX_CHECK(startup_size, sizeof(VXStartupInfo) == 285);
VX_CHECK(startup_config, offsetof(VXStartupInfo, configFile) == 12);
VX_CHECK(startup_getid, offsetof(VXStartupInfo, getMessageID) == 273);
VX_CHECK(startup_send, offsetof(VXStartupInfo, sendCommand) == 277);
VX_CHECK(startup_byname, offsetof(VXStartupInfo, sendCommandByName) == 281);
VX_CHECK(language_size, sizeof(VXLanguageRecord) == 12);
VX_CHECK(feature_size, sizeof(VXFeatureRecord) == 24);
VX_CHECK(feature_parent, offsetof(VXFeatureRecord, parentId) == 16);
VX_CHECK(installtype_size, sizeof(VXInstallTypeRecord) == 20);
VX_CHECK(callblock_size, sizeof(VXCallBlock) == 20);
VX_CHECK(callblock_extra, offsetof(VXCallBlock, extra) == 16);
VX_CHECK(crossthread_size, sizeof(VXCrossThreadCall) == 20);
VX_CHECK(fileitem_size, sizeof(VXFileItemRecord) == 20);
VX_CHECK(fileitem_removal, offsetof(VXFileItemRecord, removal) == 16);
VX_CHECK(serveritem_size, sizeof(VXServerItemRecord) == 8);
VX_CHECK(programitem_size, sizeof(VXProgramItemRecord) == 24);
VX_CHECK(programitem_moment, offsetof(VXProgramItemRecord, moment) == 20);
VX_CHECK(shortcutitem_size, sizeof(VXShortcutItemRecord) == 40);
VX_CHECK(shortcutitem_show, offsetof(VXShortcutItemRecord, showCode) == 16);
VX_CHECK(shortcutitem_removal, offsetof(VXShortcutItemRecord, removal) == 36);
VX_CHECK(regitem_size, sizeof(VXRegistryItemRecord) == 20);
VX_CHECK(regitem_type, offsetof(VXRegistryItemRecord, type) == 12);
VX_CHECK(iniitem_size, sizeof(VXIniItemRecord) == 20);
VX_CHECK(iniitem_removal, offsetof(VXIniItemRecord, removal) == 16);
#elif defined(_WIN64)
VX_CHECK(info_size, sizeof(VXPluginInfo) == 5166);
VX_CHECK(info_id, offsetof(VXPluginInfo, pluginId) == 12);
VX_CHECK(info_refuse, offsetof(VXPluginInfo, refuse) == 534);
VX_CHECK(info_handler, offsetof(VXPluginInfo, handler) == 5158);
VX_CHECK(startup_size, sizeof(VXStartupInfo) == 297);
VX_CHECK(startup_config, offsetof(VXStartupInfo, configFile) == 12);
VX_CHECK(startup_getid, offsetof(VXStartupInfo, getMessageID) == 273);
VX_CHECK(startup_send, offsetof(VXStartupInfo, sendCommand) == 281);
VX_CHECK(startup_byname, offsetof(VXStartupInfo, sendCommandByName) == 289);
VX_CHECK(language_size, sizeof(VXLanguageRecord) == 24);
VX_CHECK(feature_size, sizeof(VXFeatureRecord) == 44);
VX_CHECK(feature_parent, offsetof(VXFeatureRecord, parentId) == 28);
VX_CHECK(installtype_size, sizeof(VXInstallTypeRecord) == 36);
VX_CHECK(callblock_size, sizeof(VXCallBlock) == 32);
VX_CHECK(callblock_extra, offsetof(VXCallBlock, extra) == 24);
VX_CHECK(crossthread_size, sizeof(VXCrossThreadCall) == 28);
VX_CHECK(fileitem_size, sizeof(VXFileItemRecord) == 24);
VX_CHECK(fileitem_removal, offsetof(VXFileItemRecord, removal) == 20);
VX_CHECK(serveritem_size, sizeof(VXServerItemRecord) == 12);
VX_CHECK(programitem_size, sizeof(VXProgramItemRecord) == 40);
VX_CHECK(programitem_moment, offsetof(VXProgramItemRecord, moment) == 36);
VX_CHECK(shortcutitem_size, sizeof(VXShortcutItemRecord) == 64);
VX_CHECK(shortcutitem_show, offsetof(VXShortcutItemRecord, showCode) == 32);
VX_CHECK(shortcutitem_removal, offsetof(VXShortcutItemRecord, removal) == 60);
VX_CHECK(regitem_size, sizeof(VXRegistryItemRecord) == 32);
VX_CHECK(regitem_type, offsetof(VXRegistryItemRecord, type) == 24);
VX_CHECK(iniitem_size, sizeof(VXIniItemRecord) == 36);
VX_CHECK(iniitem_removal, offsetof(VXIniItemRecord, removal) == 32);
#endif
#undef VX_CHECK

#ifdef __cplusplus
}
#endif

#endif /* VXPLUGIN_H */
