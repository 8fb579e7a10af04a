// Rings of frame slots in POSIX shared memory, for handing frames between the
// processes of one host at the cost of a memory copy. No Python here: the
// image functions of xalo_sdk.redis.utils are the only users.
//
// One ring per producing process and frame type (shape and element type),
// made whole on first use and unlinked when its owner exits. Each slot has a
// sequence number written as a seqlock (odd while the slot is being written),
// so a reader copies a frame and then checks that nobody overwrote it
// meanwhile. Writers never wait for readers: the newest frame wins.
//
// Only 32-bit atomics are used, since the boards' ARM cores may lack lock-free
// 64-bit ones, and a ring never exceeds kMaxRingBytes, so that it maps into a
// 32-bit address space beside everything else.
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

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Header;

// The producing side of one ring. Not thread-safe: the caller serialises.
class WriterRing {
public:
    // Makes the ring and allocates it whole, so that a full /dev/shm is found
    // here and not as a bus error on a later write; throws Error.
    static std::unique_ptr<WriterRing> create(const FrameType& type, uint32_t slots);
    ~WriterRing();
    WriterRing(const WriterRing&) = delete;
    WriterRing& operator=(const WriterRing&) = delete;

    // Copies one frame (type().bytes() bytes) into the next slot.
    void write(const void* frame, uint32_t* slot, uint32_t* seq);
    // Marks the ring closed for readers that still map it, and unlinks it.
    void close_and_unlink();

    const std::string& name() const { return name_; }
    uint64_t instance() const { return instance_; }
    pid_t owner() const { return owner_; }
    uint32_t slots() const { return slots_; }

private:
    WriterRing() = default;
    std::string name_;
    uint64_t instance_ = 0;
    pid_t owner_ = 0;
    unsigned char* base_ = nullptr;
    size_t size_ = 0;
    uint32_t slots_ = 0, stride_ = 0, data_offset_ = 0;
    uint64_t frame_bytes_ = 0;
    uint32_t next_ = 0;
    int fd_ = -1;  // holds the owner's lock
    bool unlinked_ = false;
};

enum class ReadStatus { kOk, kOverwritten };

// A ring mapped read-only. The bounds are the ones checked when it was
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
    const unsigned char* base_ = nullptr;
    size_t size_ = 0;
    uint32_t slots_ = 0, stride_ = 0, data_offset_ = 0;
    uint64_t instance_ = 0;
    FrameType type_;
};

// The producer's ring for this frame type, made on first use (sweeping the
// rings of dead producers first). A failure is remembered for a second, so a
// full /dev/shm does not cost an allocation attempt per frame. Thread-safe.
WriterRing& writer_for(const FrameType& type);

// The named ring, mapped once per process and kept (at most a few at a time);
// null with the reason in *why when it cannot be read. A ring found closed or
// of another instance is mapped afresh. Thread-safe.
std::shared_ptr<ReaderRing> attach(const std::string& name, uint64_t instance, std::string* why);

// Unlinks the rings whose owner has died (its lock on the ring is free),
// telling readers that still map them that they are closed. Returns how many
// were swept.
size_t sweep_dead_rings();

// The directory of POSIX shared memory on Linux.
constexpr const char* kShmDir = "/dev/shm";

}  // namespace xshm
