// The services the library core needs from the system: time, threads and
// events, thread priorities, serial ports and a few facts about the process.
// The core reaches the system only through these interfaces, held by the
// context (`Services`); the POSIX build supplies them from
// src/platform/posix, tests and the simulated phone supply their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

namespace flashwire::platform {

// A wait that never times out.
inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// Millisecond tick count (wraps after 2^32 ms; compare with unsigned
// differences) and sleeping.
class Clock {
public:
    virtual ~Clock() = default;
    virtual uint32_t Ticks() = 0;
    virtual void Sleep(uint32_t ms) = 0;
    // A monotonic count of microseconds from an arbitrary start, for time
    // stamps finer than a tick (the wire trace). By default the ticks in
    // microseconds.
    virtual uint64_t Microseconds() { return static_cast<uint64_t>(Ticks()) * 1000u; }
};

// An event as the job's threads use it.
//  - auto-reset: Set releases one waiter (or the next one to wait) and resets;
//  - manual-reset: Set keeps it signalled until Reset;
//  - Pulse releases the threads waiting right now (one for auto-reset, all for
//    manual-reset) and leaves the event non-signalled.
class Event {
public:
    virtual ~Event() = default;
    virtual void Set() = 0;
    virtual void Reset() = 0;
    virtual void Pulse() = 0;
    // True when the event was signalled, false after timeoutMs (kInfinite: no limit).
    virtual bool Wait(uint32_t timeoutMs) = 0;
};

// A started thread. Destroying a Thread that still runs detaches it.
class Thread {
public:
    virtual ~Thread() = default;
    // Waits up to timeoutMs for the thread to end; true when it has ended.
    virtual bool Join(uint32_t timeoutMs) = 0;
    // The body's result; valid after Join returned true.
    virtual uint32_t ExitCode() const = 0;
};

// Thread priorities in the job's terms: 0 normal, 2 highest, 15 time-critical.
enum : int { kPriorityNormal = 0, kPriorityHighest = 2, kPriorityTimeCritical = 15 };

class Threading {
public:
    virtual ~Threading() = default;
    virtual std::unique_ptr<Event> CreateEvent(bool manualReset, bool initiallySet) = 0;
    // Starts body on a new thread with the given stack size; null on failure.
    virtual std::unique_ptr<Thread> StartThread(std::size_t stackBytes,
                                                std::function<uint32_t()> body) = 0;
    // The calling thread's priority, and a best-effort change of it: a change
    // the system refuses is ignored.
    virtual int CurrentPriority() = 0;
    virtual void SetCurrentPriority(int priority) = 0;
};

// ---- Serial ports -------------------------------------------------------

enum class Parity : uint8_t { None, Odd, Even };
enum class StopBits : uint8_t { One, Two };

// The whole line configuration of a port.
struct LineSettings {
    uint32_t baud = 115200;
    uint8_t dataBits = 8;
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::One;
    bool dtr = true;       // DTR line on
    bool rts = true;       // RTS line on
    bool ctsFlow = false;  // CTS output flow control
    bool dsrFlow = false;  // DSR output flow control
    bool xonXoff = false;  // XON/XOFF flow control, both directions
};

// Read and write time-outs, in the classic five-value form:
//  - readInterval 0xFFFFFFFF with both read totals 0: a read returns at once
//    with what has already arrived (non-blocking);
//  - otherwise a read returns when its count has arrived or
//    readTotalMultiplier * count + readTotalConstant ms after it began; both
//    totals 0 means it waits until the count has arrived;
//  - the write values 0 mean writes have no time-out.
struct CommTimeouts {
    uint32_t readInterval = 0;
    uint32_t readTotalMultiplier = 0;
    uint32_t readTotalConstant = 0;
    uint32_t writeTotalMultiplier = 0;
    uint32_t writeTotalConstant = 0;
};

// How a write begun with SerialPort::BeginWrite stands.
enum class WriteStatus : uint8_t {
    Pending,  // bytes still to go out
    Done,     // every byte went out
    Failed,   // it ended otherwise (LastError tells why)
};

class SerialPort {
public:
    virtual ~SerialPort() = default;
    virtual bool GetSettings(LineSettings& out) = 0;
    // False when the system refuses the configuration (for example the rate).
    virtual bool SetSettings(const LineSettings& settings) = 0;
    virtual bool GetTimeouts(CommTimeouts& out) = 0;
    virtual bool SetTimeouts(const CommTimeouts& timeouts) = 0;
    // One read request obeying the time-outs; received may be below the size.
    virtual bool Read(std::span<uint8_t> buffer, uint32_t& received) = 0;
    // Writes all bytes (or fails); sent tells how many went out.
    virtual bool Write(std::span<const uint8_t> data, uint32_t& sent) = 0;

    // ---- A write in steps, the way SerialProvider::WriteConcurrently drives
    // several ports at once. A port has at most one such write at a time; its
    // data must stay valid until PollWrite told Done or Failed. A port that
    // wraps another forwards all three calls to it.

    // Starts writing data and returns at once. False (nothing sent, LastError
    // set) when the write cannot start, for example while the port's previous
    // write has not ended.
    virtual bool BeginWrite(std::span<const uint8_t> data) = 0;
    // Moves the begun write on and waits until it has ended or waitMs has
    // passed (kInfinite: until it has ended); sent tells how many bytes went
    // out so far. Every write ends: the port's write time-outs, or without
    // them a write that cannot move a byte for too long, make it fail. After
    // Done or Failed the next write may begin; without a begun write the
    // result is Failed.
    virtual WriteStatus PollWrite(uint32_t waitMs, uint32_t& sent) = 0;
    // Returns once every byte written so far has left the PC's side of the
    // line; bounded. False (LastError set) when the line does not drain in
    // time, the state cannot be read, or a begun write has not ended.
    virtual bool Drain() = 0;

    // The system error code of the last failed operation (0 if none).
    virtual uint32_t LastError() const = 0;
};

// One stream of a concurrent write on several ports.
struct StreamWrite {
    SerialPort* port = nullptr;
    std::span<const uint8_t> data;
    uint32_t sent = 0;
    bool ok = false;
};

class SerialProvider {
public:
    virtual ~SerialProvider() = default;
    // Opens the zero-based port number (0 = COM1). On failure returns null and
    // sets systemError.
    virtual std::unique_ptr<SerialPort> Open(uint32_t portNumber, bool overlapped,
                                             uint32_t& systemError) = 0;

    // Writes the streams at once on their ports and returns when every one
    // has ended, each with its own sent and ok (a stream without a port fails
    // alone). Built only from the ports' BeginWrite and PollWrite, so any port
    // works, wrapped or not, and every provider writes alike: every stream
    // begins at once (a port's second stream begins when its first ends), then
    // each is waited for in stream order; while several are under way a wait
    // gives each stream at most kStreamWaitSliceMs at a time, so one port's
    // wait never holds back another's bytes. Every wait is bounded by the
    // ports' own write limits. Not virtual: one implementation for every
    // provider (platform/write_concurrently.cpp).
    void WriteConcurrently(std::span<StreamWrite> writes);
};

// The longest single wait on one stream of WriteConcurrently while other
// streams are under way.
inline constexpr uint32_t kStreamWaitSliceMs = 2;

// ---- Facts about the running process ------------------------------------

struct OsVersion {
    bool known = false;   // the version could be read
    bool ntFamily = true; // multi-port and overlapped I/O available
    uint32_t major = 0;
    uint32_t minor = 0;
    // The system's name and release as it gives them ("Linux 6.1.0-13-amd64"); may be empty.
    std::string release;
};

class SystemInfo {
public:
    virtual ~SystemInfo() = default;
    // Full path of the running executable (the host program); empty if unknown.
    virtual std::string ExecutablePath() = 0;
    virtual OsVersion GetOsVersion() = 0;
    // The path separator that ends a directory name ('/' here).
    virtual char PathSeparator() const = 0;
};

// ---- Files -------------------------------------------------------------

// An open file, read or written from its start on; closed when destroyed.
class File {
public:
    virtual ~File() = default;
    // Reads up to into.size() bytes and stores their count in got (0 at the
    // end of the file). False when reading failed.
    virtual bool Read(std::span<uint8_t> into, std::size_t& got) = 0;
    // Writes the bytes; returns how many were written (fewer on a failure such
    // as a full disk, or a short write).
    virtual std::size_t Write(std::span<const uint8_t> bytes) = 0;
    // Writes what is buffered out and closes; false when that failed. Further
    // calls do nothing and return the first answer.
    virtual bool Close() = 0;
};

// Read: from the start; Write: created or emptied; Append: created when
// missing, its contents kept.
enum class FileMode : uint8_t { Read, Write, Append };

struct FileStatus {
    bool exists = false;
    bool regular = false;  // a plain file (not a directory or a device)
    uint64_t size = 0;     // plain files only
};

class FileSystem {
public:
    virtual ~FileSystem() = default;
    // Null when the file cannot be opened (Write creates or empties it);
    // LastErrorText then tells why.
    virtual std::unique_ptr<File> Open(const char* path, FileMode mode) = 0;
    virtual bool Remove(const char* path) = 0;
    virtual FileStatus Stat(const char* path) = 0;
    // Why the calling thread's last Open failed, in the system's words
    // ("No such file or directory"); empty when unknown.
    virtual std::string LastErrorText() const { return {}; }
};

// The C library's files, the same on every system.
FileSystem& StandardFiles();

// The set of services a context uses. None of the pointers is owned.
struct Services {
    Clock* clock = nullptr;
    Threading* threading = nullptr;
    SerialProvider* serial = nullptr;
    SystemInfo* system = nullptr;
    // Null: StandardFiles().
    FileSystem* files = nullptr;
};

// The operating system's services, built into the library for this target.
Services& SystemServices();

// ---- Which device a port number opens (process-wide) --------------------

// Port numbers 0 .. kSerialPortNumbers - 1 can be mapped; device paths may be
// up to kMaxSerialDevicePath characters long.
inline constexpr uint32_t kSerialPortNumbers = 12;
inline constexpr std::size_t kMaxSerialDevicePath = 255;

// Makes the system's serial ports open devicePath for the zero-based port
// number; a null devicePath restores the system's default device. False (and
// nothing changed) for a port number of kSerialPortNumbers or above, an empty
// path or one longer than kMaxSerialDevicePath. Safe to call from any thread.
bool MapSerialDevice(uint32_t portNumber, const char* devicePath);

// The device mapped to the port number, or an empty text when it opens the
// system's default device (also for a number of kSerialPortNumbers or above).
std::string MappedSerialDevice(uint32_t portNumber);

}  // namespace flashwire::platform
