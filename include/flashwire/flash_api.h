/*
 * flashwire public interface.
 *
 * A host binds a FlashHandle with FlashInit, stores its callbacks in the
 * handle, turns an option string into a FlashOptions record with
 * FlashParseOptionString and runs jobs with FlashLoad; FlashFinish releases
 * the handle.
 * FlashMakeOptionString and FlashGetErrorString need no handle.
 *
 * This header compiles as C (C99 or later) and as C++.
 */
#ifndef FLASHWIRE_FLASH_API_H
#define FLASHWIRE_FLASH_API_H

#include <stdint.h>

/* The build of the library defines FLASHWIRE_EXPORT to mark the exported
 * functions; for a host it expands to nothing. */
#ifndef FLASHWIRE_EXPORT
#define FLASHWIRE_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Error codes: every exported call returns one of these (0 = success). */
enum {
    SUCCESS = 0,
    ERR_NOMEM = 1,
    ERR_COM = 2,
    ERR_ABORT = 3,
    ERR_FLASHTYPE = 4,
    ERR_PROTOCOL = 5,
    ERR_TIMEOUT = 6,
    ERR_WRONG_DLL = 7,
    ERR_WRONG_FILE_LOAD = 8,
    ERR_WRONG_FILE_SAVE = 9,
    ERR_WRONG_FILE_SL = 10,
    ERR_WRONG_FILE_FL = 11,
    ERR_WRONG_READLENGTH = 12,
    ERR_CRC = 13,
    ERR_UNSUPPORTED = 14,
    ERR_TOO_MANY_RETRIES = 15,
    ERR_FILEIO = 16,
    ERR_BAD_SREC_FILE = 17,
    ERR_BAD_SREC_ADDR = 18,
    ERR_LEGACY_LOADER = 19,
    ERR_CMD_FAILED = 20,
    ERR_RANGE_OUTSIDE_FLASH = 21,
    ERR_RANGES_OVERLAP = 22,
    ERR_BAD_SREC_CHECKSUM = 23,
    ERR_VERIFY_DIFFERENCE = 24,
    ERR_TOO_MANY_RANGES = 25,
    ERR_UNKOWN_HW = 26,
    ERR_WRONG_FLASHLOADER = 27,
    ERR_BAD_CMDLINE = 28,
    ERR_SETUP = 29,
    ERR_BAD_PLATFORM = 30,
    ERR_BAD_PARAMS = 31,
    ERR_UNKNOWN = 100
};

/* A buffer of this many bytes holds every text FlashGetErrorString writes. */
#define FLASH_ERROR_TEXT_SIZE 26

/* ---- Serial speeds. FlashOptions.maxSpeed holds an index into this table. */
#define FLASH_SPEED_COUNT 5
#define FLASH_SPEED_TABLE {57600u, 115200u, 230400u, 460800u, 921600u}

/* Port numbers are zero-based (0 = COM1 ... 11 = COM12); 12 marks an unused slot. */
#define FLASH_PORT_UNUSED 12u
#define FLASH_MAX_RANGES 50
#define FLASH_TEXT_SIZE 250

/* An inclusive address range: its length is last - first + 1. */
typedef struct AddressRange {
    uint32_t first;
    uint32_t last;
} AddressRange;

typedef struct FlashHandle FlashHandle;
struct FlashContext;

/* Host callbacks. Every callback gets the host's handle first; text pointers
 * are valid only during the call. The return values of all callbacks but
 * abortPoll are ignored; abortPoll returns non-zero to ask for an abort. */
typedef int32_t (*FlashProgressBeginFn)(FlashHandle *handle, const char *text, uint32_t total);
typedef int32_t (*FlashProgressUpdateFn)(FlashHandle *handle, uint32_t done, uint32_t percent);
typedef int32_t (*FlashProgressEndFn)(FlashHandle *handle);
typedef int32_t (*FlashStatusFn)(FlashHandle *handle, const char *text);
typedef int32_t (*FlashMessageFn)(FlashHandle *handle, int32_t level, const char *text);
typedef int32_t (*FlashAbortPollFn)(FlashHandle *handle);

/* The host's handle. Set `size` before FlashInit:
 *  - where pointers are 32 bits wide the record is 32 bytes and size must be 32;
 *  - on 64-bit builds the record is larger (64 bytes on LP64) and size must be
 *    sizeof(FlashHandle). FlashInit returns ERR_WRONG_DLL for any other value.
 * FlashInit empties the six callback slots; store the callbacks afterwards. */
struct FlashHandle {
    uint32_t size;
    FlashProgressBeginFn progressBegin;
    FlashProgressUpdateFn progressUpdate;
    FlashProgressEndFn progressEnd;
    FlashStatusFn status;
    FlashMessageFn message;
    FlashAbortPollFn abortPoll;
    struct FlashContext *context; /* owned by the library; never touch it */
};

/* The options of one job: a packed record of exactly 1610 bytes. Its 32-bit
 * members are not aligned; copy them, never take their address. */
#pragma pack(push, 1)
typedef struct FlashOptions {
    char platform[FLASH_TEXT_SIZE];
    char file[FLASH_TEXT_SIZE];
    char saveFile[FLASH_TEXT_SIZE];
    uint32_t comPort[2];
    uint32_t maxSpeed[2];
    uint32_t mode;        /* 0 flash, 1 verify, 2 read */
    uint32_t erasePasses; /* 1..8 */
    uint32_t phases;      /* 0 all, 1 bl, 2 fl */
    uint32_t reservedCount;
    AddressRange reserved[FLASH_MAX_RANGES];
    uint32_t readCount;
    AddressRange read[FLASH_MAX_RANGES];
    uint32_t debug;
    uint32_t eraseUnused;
    uint32_t extProtect;
    uint32_t noRetry;
    uint32_t unattended;
    uint32_t diff;
} FlashOptions;
#pragma pack(pop)

#if defined(__cplusplus)
static_assert(sizeof(FlashOptions) == 1610, "FlashOptions must be 1610 bytes");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(FlashOptions) == 1610, "FlashOptions must be 1610 bytes");
#endif

/* Binds the handle to a new library context and fills options with defaults. */
FLASHWIRE_EXPORT uint32_t FlashInit(FlashHandle *handle, FlashOptions *options);

/* Releases the handle's context; a second call does nothing. Always 0. */
FLASHWIRE_EXPORT uint32_t FlashFinish(FlashHandle *handle);

/* Parses an option string into options (defaults first). Every accepted option
 * is echoed to the message callback of a handle bound by FlashInit; with a
 * null handle, or one the library did not bind, nothing is echoed. *count (may be null) receives the number
 * of accepted options, 0 on error. Returns 0 or ERR_BAD_CMDLINE. */
FLASHWIRE_EXPORT uint32_t FlashParseOptionString(FlashHandle *handle, const char *optionString,
                                                 int32_t *count, FlashOptions *options);

/* Writes the option string of a record. Returns 0, ERR_BAD_PARAMS for an
 * invalid record (empty string) or ERR_NOMEM when the buffer is too small
 * (the fragments that fitted). A null buffer or a size <= 0 gives ERR_NOMEM. */
FLASHWIRE_EXPORT uint32_t FlashMakeOptionString(const FlashOptions *options, char *buffer,
                                                int32_t bufferSize);

/* Writes the name of an error code (or "Unknown error: N") into buffer, which
 * must hold FLASH_ERROR_TEXT_SIZE bytes. Always returns 0. */
FLASHWIRE_EXPORT uint32_t FlashGetErrorString(uint32_t code, char *buffer);

/* Runs one job (flash, verify or read, as options says) and returns when it
 * is over. The options are checked and copied first; the host may reuse its
 * record once the call has begun. The job runs on two threads of the
 * library: while it runs, every callback of the handle is called from one
 * library thread (never two at once, never the calling thread), and
 * abortPoll about every 750 ms; every message of the job has been delivered
 * when FlashLoad returns. Returns:
 *  - 0 (SUCCESS): the job succeeded;
 *  - ERR_BAD_PARAMS at once (no callback, no thread, nothing changed): the
 *    handle is not bound, options is null, or the record is invalid: mode
 *    above 2; in flash mode erasePasses above 8 or a bad reserved list, in
 *    read mode a bad read list (more than 50 ranges, or a range whose first
 *    address lies above its last); phases above 2; a text member without its
 *    NUL; no first port, or a port number or speed index out of range;
 *  - ERR_SETUP: no job ran: the job's threads or events could not be
 *    created, another job runs on the handle (for example one started from
 *    a callback), or a callback of the previous job still blocks after that
 *    job ended (the library gave that callback 10 s and then left it);
 *  - ERR_ABORT: abortPoll asked for an abort;
 *  - the job's failure: ERR_NOMEM, ERR_COM, ERR_FLASHTYPE, ERR_PROTOCOL,
 *    ERR_TIMEOUT, ERR_WRONG_FILE_LOAD, ERR_WRONG_FILE_SAVE, ERR_WRONG_FILE_SL,
 *    ERR_WRONG_FILE_FL, ERR_WRONG_READLENGTH, ERR_CRC, ERR_UNSUPPORTED,
 *    ERR_TOO_MANY_RETRIES, ERR_FILEIO, ERR_BAD_SREC_FILE, ERR_BAD_SREC_ADDR,
 *    ERR_LEGACY_LOADER, ERR_CMD_FAILED, ERR_RANGE_OUTSIDE_FLASH,
 *    ERR_RANGES_OVERLAP, ERR_BAD_SREC_CHECKSUM, ERR_VERIFY_DIFFERENCE,
 *    ERR_TOO_MANY_RANGES, ERR_UNKOWN_HW, ERR_WRONG_FLASHLOADER or
 *    ERR_BAD_PLATFORM. A failed job ends with "Error code: <name>" line(s)
 *    and "Sorry, an error has occured ! (<name>)" as message and status; a
 *    successful one with "All is well !". */
FLASHWIRE_EXPORT uint32_t FlashLoad(FlashHandle *handle, FlashOptions *options);

/* Chooses the device a port number opens, for the whole process: from then on
 * portNumber (zero-based, 0 = COM1 ... 11 = COM12) opens devicePath (for
 * example "/dev/ttyUSB0"); a null devicePath restores the default device of
 * the system (/dev/ttyS<portNumber> on POSIX systems). Messages keep naming
 * the port "COM<portNumber + 1>". Returns 0, or ERR_BAD_PARAMS for a port
 * number above 11 or an empty path or one longer than 255 characters (the
 * mapping is then unchanged). May be called at any time; a port already open
 * keeps its device until it is closed. */
FLASHWIRE_EXPORT uint32_t FlashMapPort(uint32_t portNumber, const char *devicePath);

/* Chooses, for the handle's jobs, the directory that holds "platform.def",
 * "flash.types" and the loader files named in "platform.def" (by default the
 * directory of the running executable). A missing '/' at the end is added; a
 * relative directory is taken from the current directory when a job runs.
 * The choice lasts until FlashFinish (FlashInit starts again from the
 * default). Returns 0, or ERR_BAD_PARAMS (nothing changed) when the handle is
 * not bound, directory is null or empty, the directory followed by
 * "platform.def" would be longer than 255 characters, or a job runs on the
 * handle. */
FLASHWIRE_EXPORT uint32_t FlashSetDataDirectory(FlashHandle *handle, const char *directory);

/* Records the serial traffic of the handle's jobs in the text file at path
 * (created, or emptied if it exists): every byte written and read on every
 * port with a monotonic time stamp, the port and the direction, the ports'
 * opening and closing, their rate changes, read time-out settings and the
 * reads that ended by their time-out; one event per line, in the format of
 * docs/wire-trace.md. The trace lasts over all further jobs of the handle
 * until the next call, FlashFinish, or a null path, which ends it and closes
 * the file. Lines are collected in a bounded buffer and written out when it is
 * full, after a read's time-out, when a job closes its ports and when the
 * trace ends. A trace file that
 * fails to take a write stops the trace, and the job reports it once as a
 * level-1 message; the job itself goes on.
 * Returns 0, ERR_BAD_PARAMS (nothing changed) when the handle is not bound, a
 * job runs on the handle, or path is empty or 256 characters or longer, and
 * ERR_FILEIO when the file cannot be created (an earlier trace has then
 * ended). */
FLASHWIRE_EXPORT uint32_t FlashSetTraceFile(FlashHandle *handle, const char *path);

#ifdef __cplusplus
}
#endif

#endif /* FLASHWIRE_FLASH_API_H */
