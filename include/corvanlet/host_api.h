/*
 * Corvanlet host interface: what a Siltrocke host and the "Corvanlet.Module"
 * library exchange. Plain C, for a 32-bit Windows process: every handle and
 * address inside a record is 32 bits wide, all values are little-endian. The
 * offsets in the comments are those of this 32-bit layout.
 *
 * Built for 64-bit Windows (_WIN64), every field that holds a handle or an
 * address is pointer-sized and the records take their natural C layout; that
 * layout serves a 64-bit host, and testing on machines that cannot run 32-bit
 * code. The module that ships is the 32-bit one.
 *
 * Calling convention: the six exports and the data callback use the C
 * calling convention (cdecl: the caller removes the arguments), with
 * undecorated names. Each export returns a one-byte boolean, 1 for true and 0
 * for false.
 *
 * Threads: the exports may be called from any thread, also from two at once;
 * the module lets one call in at a time (and the same thread again, from
 * inside its own modal dialog). A thread waiting to get in still answers
 * messages sent to its windows, so a host whose window thread and another
 * thread both call exports does not deadlock on the filter messages, which
 * the module sends from the calling thread. The data callback is called from
 * one thread at a time; a block delivered while another delivery is still
 * inside the callback is refused and counted as dropped.
 *
 * Unloading: calling Module_Stop before FreeLibrary is best; FreeLibrary
 * right after it is safe. Freeing the library while it records stops the
 * recording (every accepted block written) without waiting for any thread
 * that needs the loader lock. At process exit the module waits for nothing
 * that a killed thread held and writes what was queued.
 */
#ifndef CORVANLET_HOST_API_H
#define CORVANLET_HOST_API_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define CORVANLET_CALL __cdecl
#else
#define CORVANLET_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint8_t CorvanletBool; /* 1 true, 0 false */

/* A handle or an address inside a record: 32 bits in the shipped layout,
 * pointer-sized in the 64-bit one. */
#ifdef _WIN64
typedef uint64_t CorvanletAddress;
#else
typedef uint32_t CorvanletAddress;
#endif

/* --- Handshake --------------------------------------------------------- */

/* Passed to Module_GetInfo. The host fills size, interfaceVersion, hostWindow
 * and hostAssignedId; the module answers the rest. */
typedef struct ModuleInfo {
    uint32_t size;                   /* 0x00 in: at least 36 */
    uint32_t moduleVersion;          /* 0x04 out: 100 */
    uint32_t interfaceVersion;       /* 0x08 in: the host's, at least 111; out: 111 */
    uint32_t entryCount;             /* 0x0C out: 1 */
    uint32_t moduleInterfaceVersion; /* 0x10 out: 111 */
    uint32_t reserved14;             /* 0x14 not used */
    uint32_t reserved18;             /* 0x18 not used */
    CorvanletAddress hostWindow;     /* 0x1C in: window that takes the filter messages */
    uint32_t hostAssignedId;         /* 0x20 in: the host's id for the module; 0 means 256 */
} ModuleInfo;

/* Passed to Module_GetSubInfo to describe entry 0, the module's only entry. */
typedef struct ModuleEntryInfo {
    uint32_t size;  /* 0x00 in: at least 32 */
    uint32_t index; /* 0x04 in/out: entry index */
    uint32_t id;    /* 0x08 in/out: entry id */
    uint8_t byId;   /* 0x0C in: nonzero: id given, copied to index; zero: the reverse */
    uint8_t reserved0D[3];
    CorvanletAddress nameBuffer; /* 0x10 in: address of a buffer for the name ("Corvanlet"), or 0 */
    uint32_t reserved14;         /* 0x14 not used */
    uint32_t entryType;          /* 0x18 out: 256 */
    uint8_t entryFlag;           /* 0x1C out: 1 */
    uint8_t entryFlag2;          /* 0x1D out: 0 */
    uint8_t reserved1E[2];
} ModuleEntryInfo;

/* Passed to Module_SetChannel (or null). Only these fields are read. */
typedef struct ChannelInfo {
    uint8_t reserved00[0xEC];
    int32_t frequency;     /* 0xEC */
    int32_t symbolRate;    /* 0xF0 */
    uint32_t polarisation; /* 0xF4 nonzero: vertical ("V"); zero: horizontal ("H") */
} ChannelInfo;

/* --- Filter registration ---------------------------------------------- */

/* Both messages are sent with SendMessage to hostWindow, message WM_USER. */
#define CORVANLET_WM_FILTER 0x0400

/* wParam: add a filter. lParam: address of its FilterRegistration.
 * Result: nonzero when the host accepts; from then on it calls the record's
 * callback with the PID's data, and may store its own handle at 0x2C. */
#define CORVANLET_ADD_FILTER 0x01020020u

/* wParam: remove a filter. lParam: the value found at 0x2C of its
 * registration. Result ignored. After it returns the host makes no further
 * calls of that filter's callback. */
#define CORVANLET_REMOVE_FILTER 0x01020021u

/* The host calls this with each data block of the PID, from one thread at a
 * time: a value the module ignores, the length in bytes (1 to 1000; longer
 * blocks are dropped), and the block's address. */
typedef void(CORVANLET_CALL* DataCallback)(uint32_t context, int32_t length, const uint8_t* data);

/* Lives in the module's memory while the filter is registered. */
typedef struct FilterRegistration {
    uint16_t ownerId;    /* 0x00 low 16 bits of the host's id for the module (256 if it gave 0) */
    uint16_t reserved02; /* 0x02 0 */
    uint16_t pid;        /* 0x04 low 16 bits of the PID */
    char moduleName[30]; /* 0x06 module file name, zero-filled; no terminator at 30 characters */
    uint32_t reserved24; /* 0x24 0 */
    CorvanletAddress callback;   /* 0x28 address of the module's DataCallback */
    CorvanletAddress hostHandle; /* 0x2C the host's handle for this registration; 0 when sent */
} FilterRegistration;

/* --- Exports, ordinals 1 to 6 ----------------------------------------- */

typedef CorvanletBool(CORVANLET_CALL* Module_GetInfoFn)(ModuleInfo* info);
typedef CorvanletBool(CORVANLET_CALL* Module_GetSubInfoFn)(ModuleEntryInfo* entry);
typedef CorvanletBool(CORVANLET_CALL* Module_SetChannelFn)(const ChannelInfo* channel);
typedef CorvanletBool(CORVANLET_CALL* Module_ShowOptionsDialogFn)(void);
typedef CorvanletBool(CORVANLET_CALL* Module_StartFn)(void);
typedef CorvanletBool(CORVANLET_CALL* Module_StopFn)(void);

#ifdef __cplusplus
}

namespace corvanlet_layout {
/* A size or offset in the shipped 32-bit layout, or in the 64-bit one. */
constexpr size_t By(size_t in32, size_t in64) {
    return sizeof(CorvanletAddress) == 8 ? in64 : in32;
}
}  // namespace corvanlet_layout

static_assert(sizeof(ModuleInfo) == corvanlet_layout::By(36, 48));
static_assert(offsetof(ModuleInfo, size) == 0x00);
static_assert(offsetof(ModuleInfo, moduleVersion) == 0x04);
static_assert(offsetof(ModuleInfo, interfaceVersion) == 0x08);
static_assert(offsetof(ModuleInfo, entryCount) == 0x0C);
static_assert(offsetof(ModuleInfo, moduleInterfaceVersion) == 0x10);
static_assert(offsetof(ModuleInfo, hostWindow) == corvanlet_layout::By(0x1C, 0x20));
static_assert(offsetof(ModuleInfo, hostAssignedId) == corvanlet_layout::By(0x20, 0x28));

static_assert(sizeof(ModuleEntryInfo) == corvanlet_layout::By(32, 40));
static_assert(offsetof(ModuleEntryInfo, size) == 0x00);
static_assert(offsetof(ModuleEntryInfo, index) == 0x04);
static_assert(offsetof(ModuleEntryInfo, id) == 0x08);
static_assert(offsetof(ModuleEntryInfo, byId) == 0x0C);
static_assert(offsetof(ModuleEntryInfo, nameBuffer) == 0x10);
static_assert(offsetof(ModuleEntryInfo, entryType) == corvanlet_layout::By(0x18, 0x1C));
static_assert(offsetof(ModuleEntryInfo, entryFlag) == corvanlet_layout::By(0x1C, 0x20));
static_assert(offsetof(ModuleEntryInfo, entryFlag2) == corvanlet_layout::By(0x1D, 0x21));

static_assert(sizeof(ChannelInfo) == 248);
static_assert(offsetof(ChannelInfo, frequency) == 0xEC);
static_assert(offsetof(ChannelInfo, symbolRate) == 0xF0);
static_assert(offsetof(ChannelInfo, polarisation) == 0xF4);

static_assert(sizeof(FilterRegistration) == corvanlet_layout::By(48, 56));
static_assert(offsetof(FilterRegistration, ownerId) == 0x00);
static_assert(offsetof(FilterRegistration, reserved02) == 0x02);
static_assert(offsetof(FilterRegistration, pid) == 0x04);
static_assert(offsetof(FilterRegistration, moduleName) == 0x06);
static_assert(offsetof(FilterRegistration, reserved24) == 0x24);
static_assert(offsetof(FilterRegistration, callback) == 0x28);
static_assert(offsetof(FilterRegistration, hostHandle) == corvanlet_layout::By(0x2C, 0x30));
#endif

#endif /* CORVANLET_HOST_API_H */
