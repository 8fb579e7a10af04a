// Rings of frame slots in POSIX shared memory, for handing frames between the
// processes of one host at the cost of a memory copy. No Python here: the
// image functions of xalo_sdk.redis.utils are the only users.
//
// One ring per producing process and frame type (shape and element type),
// made whole on first use and unlinked when its owner exits or when it has
// been the least recently used of too many. Each slot has a sequence number
// written as a seqlock (odd while the slot is being written), so a reader
// copies a frame and then checks that nobody overwrote it meanwhile. Writers
// never wait for readers: the newest frame wins.
//
// Frames cross through a mapping, but any process of the same user may cut a
// file under /dev/shm short, and a load or store beyond its end is a SIGBUS:
// every access to a mapping runs under a guard that turns that signal into
// an error (ring.cpp). A ring never exceeds kMaxRingBytes, the most a 32-bit
// board can spare for one.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace xshm {

constexpr uint32_t kMaxDims = 4;
constexpr uint64_t kMaxRingBytes = 1ULL << 30;
constexpr uint32_t kMaxSlots = 4096;
constexpr uint32_t kDefaultSlots = 16;
constexpr uint32_t kDefaultMaxRings = 32;
constexpr uint32_t kMaxRingsLimit = 512;

// What a ring holds: frames of one shape and element type.
struct FrameType {
    uint32_t ndim = 0;
    uint32_t shape[kMaxDims] = {};
    char dtype[8] = {};  // NumPy's dtype.str ("|u1", "<f4"), NUL-padded
    uint32_t itemsize = 0;

    // Bytes of one frame; 0 when empty or larger than a ring may be.
    uint64_t bytes() const;
    bool operator==(const FrameType& o) const;
    bool operator!=(const FrameType& o) const { return !(*this == o); }
};

// True when d is NumPy's dtype.str of a plain number type (bool, signed or
// unsigned integer, float; 1, 2, 4 or 8 bytes), with its item size.
bool valid_dtype(const char* d, uint32_t* itemsize);

// Where a frame lies: the text form travels in the payload.
struct Reference {
    std::string boot_id;     // 32 lower-case hex digits: the kernel that holds the ring
    std::string machine_id;  // 32 hex digits, or "-" where the system has none
    std::string name;        // "xalo-<owner pid>-<instance as 16 hex digits>"
    uint64_t instance = 0;
    uint32_t slot = 0;
    uint32_t seq = 0;  // even and non-zero: the slot's number once the frame was written
    FrameType type;
};

std::string format_reference(const Reference& r);
// False, with the reason in *why, when the text is no well-formed reference.
bool parse_reference(const char* text, size_t n, Reference* out, std::string* why);

// This host's identity, read once; empty (boot id) or "-" (machine id) when
// the system does not tell.
const std::string& boot_id();
const std::string& machine_id();

// XALO_SHM_SLOTS when it holds an integer from 2 to kMaxSlots, else the default.
uint32_t slots_from_env();
// XALO_SHM_MAX_RINGS when it holds an integer from 1 to kMaxRingsLimit, else
// the default: how many rings one producing process keeps.
uint32_t max_rings_from_env();

class Error : public std::runtime_error {
public:
    explicit Error(const std::string& what, bool quiet = false) : std::runtime_error(what), quiet_(quiet) {}
    // True for a ring that cannot be made again while the failure that was
    // already reported lasts (the same full /dev/shm, frame after frame).
    bool quiet() const { return quiet_; }

private:
    bool quiet_;
};

// Who may share this process's rings: XALO_SHM_GROUP, a group name or number.
struct Sharing {
    bool group_set = false;
    gid_t group = 0;
    std::string error;  // set when XALO_SHM_GROUP names no group
};
Sharing sharing_from_env();

struct Header;

// The producing side of one ring. Not thread-safe: the caller serialises.
class WriterRing {
public:
    // Makes the ring (0600, or 0640 for XALO_SHM_GROUP's group) and allocates
    // it whole, so that a full /dev/shm is found here; throws Error.
    static std::unique_ptr<WriterRing> create(const FrameType& type, uint32_t slots);
    ~WriterRing();
    WriterRing(const WriterRing&) = delete;
    WriterRing& operator=(const WriterRing&) = delete;

    // Copies one frame (type().bytes() bytes) into the next slot; throws
    // Error when the file no longer takes it (cut short and /dev/shm full).
    void write(const void* frame, uint32_t* slot, uint32_t* seq);
    // Marks the ring closed for readers that still hold it, and unlinks it.
    void close_and_unlink();
    // False once its file was cut short, unlinked or failed a write: the
    // producer then makes the ring anew rather than write frames nobody can
    // read.
    bool usable() const;

    const std::string& name() const { return name_; }
    uint64_t instance() const { return instance_; }
    pid_t owner() const { return owner_; }
    uint32_t slots() const { return slots_; }

private:
    WriterRing() = default;
    std::string name_;
    uint64_t instance_ = 0;
    pid_t owner_ = 0;
    uint32_t slots_ = 0, stride_ = 0, data_offset_ = 0;
    uint64_t frame_bytes_ = 0, ring_bytes_ = 0;
    uint32_t next_ = 0;
    std::unique_ptr<uint32_t[]> seqs_;  // each slot's number, kept here: the file is trusted for nothing
    unsigned char* base_ = nullptr;      // the mapping, ring_bytes_ long
    int fd_ = -1;                        // holds the owner's lock
    bool unlinked_ = false, broken_ = false;
};

// kShrunk: the file was cut short under the reader (by another process).
enum class ReadStatus { kOk, kOverwritten, kShrunk };

// A ring opened read-only. The bounds are the ones checked when it was
// opened, kept in this object: the shared header is trusted for nothing later.
class ReaderRing {
public:
    ~ReaderRing();
    ReaderRing(const ReaderRing&) = delete;
    ReaderRing& operator=(const ReaderRing&) = delete;

    bool closed() const;
    uint64_t instance() const { return instance_; }
    const FrameType& type() const { return type_; }
    uint32_t slots() const { return slots_; }
    // Copies the frame of `slot` into dst (type().bytes() bytes) when the
    // slot still holds sequence `seq` before and after the copy.
    ReadStatus read(uint32_t slot, uint32_t seq, void* dst) const;

private:
    friend std::shared_ptr<ReaderRing> attach(const std::string&, uint64_t, std::string*);
    ReaderRing() = default;
    static std::shared_ptr<ReaderRing> open(const std::string& name, uint64_t instance, std::string* why);
    unsigned char* base_ = nullptr;  // mapped read-only
    size_t size_ = 0;
    uint32_t slots_ = 0, stride_ = 0, data_offset_ = 0;
    uint64_t instance_ = 0;
    FrameType type_;
};

// The producer's ring for this frame type, made on first use (sweeping the
// rings of dead producers first); beyond max_rings_from_env() rings the least
// recently used one is closed and unlinked. A failure is remembered for a
// second, so a full /dev/shm does not cost an allocation attempt per frame;
// only the first failure of a run of them is thrown loud (Error::quiet).
// Thread-safe.
std::shared_ptr<WriterRing> writer_for(const FrameType& type);

// The named ring, opened once per process and kept (at most a few at a time);
// null with the reason in *why when it cannot be read or is not this user's
// (or XALO_SHM_GROUP's). A ring found closed or of another instance is opened
// afresh. Thread-safe.
std::shared_ptr<ReaderRing> attach(const std::string& name, uint64_t instance, std::string* why);

// Unlinks this user's rings whose owner has died (its lock on the ring is
// free), telling readers that still hold them that they are closed. Returns
// how many were swept.
size_t sweep_dead_rings();

// The directory of POSIX shared memory on Linux.
constexpr const char* kShmDir = "/dev/shm";

}  // namespace xshm
