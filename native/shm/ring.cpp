// Shared-memory frame rings; see ring.hpp.
#include "shm/ring.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <new>
#include <random>
#include <type_traits>
#include <vector>

namespace xshm {

// ---- layout ------------------------------------------------------------------------
//
// [Header][slot 0][slot 1]... Each slot starts on a 64-byte boundary with its
// sequence number, and its frame follows 64 bytes later. All fields are
// written before `ready` is set and never change afterwards, except `closed`
// and the sequence numbers, which are 32-bit atomics in the mapping (the
// boards' ARM cores may lack lock-free 64-bit ones).

constexpr char kMagic[8] = {'X', 'A', 'L', 'O', 'R', 'N', 'G', '2'};
constexpr uint32_t kSlotHead = 64;

struct Header {
    char magic[8];
    uint32_t header_bytes;  // sizeof(Header): the layout's version
    uint32_t slots;
    uint32_t stride;
    uint32_t data_offset;
    uint32_t owner_pid;
    uint32_t reserved;
    uint64_t instance;
    uint64_t ring_bytes;
    FrameType type;
    uint32_t ready;
    uint32_t closed;
};
static_assert(std::is_standard_layout<Header>::value && std::is_trivially_copyable<Header>::value,
              "the header is copied to and from the file as bytes");

constexpr uint32_t round64(uint64_t n) { return static_cast<uint32_t>((n + 63) & ~uint64_t{63}); }
constexpr uint32_t kDataOffset = round64(sizeof(Header));
// Offsets within a ring fit the 32-bit off_t of the boards' older ABIs.
static_assert(kMaxRingBytes <= INT32_MAX, "a ring's offsets must fit 32 bits");
constexpr off_t kReadyAt = offsetof(Header, ready);
constexpr off_t kClosedAt = offsetof(Header, closed);

static_assert(std::atomic<uint32_t>::is_always_lock_free && sizeof(std::atomic<uint32_t>) == sizeof(uint32_t),
              "the numbers in a ring are shared between processes as plain 32-bit words");

// A 32-bit number of the ring at offset `at` of its mapping.
inline std::atomic<uint32_t>& word_at(unsigned char* base, uint64_t at) {
    return *reinterpret_cast<std::atomic<uint32_t>*>(base + at);
}
inline uint64_t slot_at(uint32_t data_offset, uint32_t stride, uint32_t slot) {
    return data_offset + uint64_t{slot} * stride;
}

namespace {

// Whole reads and writes at an offset: false with errno set on failure, and
// for a read that met the end of the file (errno 0 then).
bool pread_all(int fd, void* dst, size_t n, off_t at) {
    auto* p = static_cast<unsigned char*>(dst);
    while (n > 0) {
        ssize_t got = ::pread(fd, p, n, at);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (got == 0)
                errno = 0;
            return false;
        }
        p += got;
        n -= static_cast<size_t>(got);
        at += got;
    }
    return true;
}

bool pwrite_all(int fd, const void* src, size_t n, off_t at) {
    auto* p = static_cast<const unsigned char*>(src);
    while (n > 0) {
        ssize_t put = ::pwrite(fd, p, n, at);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        p += put;
        n -= static_cast<size_t>(put);
        at += put;
    }
    return true;
}

bool pwrite_u32(int fd, off_t at, uint32_t v) { return pwrite_all(fd, &v, sizeof v, at); }

// ---- access through a mapping --------------------------------------------------------
//
// A frame crosses through a mapping, one memory copy per side. But any
// process of the user may cut a ring file short (or punch a hole in it while
// /dev/shm is full), and a load or store beyond the file then raises SIGBUS.
// So every access to a mapping runs in a guard: this unit's SIGBUS handler
// jumps back to the guard of the thread that faulted, which reports the
// access as failed. A SIGBUS outside a guard goes to the handler that was
// there before, as if this one had never been installed; and the handler is
// put in front again whenever another one (faulthandler's, say) took its
// place.

thread_local sigjmp_buf* volatile t_guard = nullptr;
struct sigaction g_previous;  // what a SIGBUS outside a guard goes to
std::mutex g_install;

void on_sigbus(int, siginfo_t*, void*) {
    sigjmp_buf* guard = t_guard;
    if (guard != nullptr) {
        t_guard = nullptr;
        siglongjmp(*guard, 1);
    }
    // Not a ring's fault: it happens again when this returns, under the
    // handler that was there before.
    sigaction(SIGBUS, &g_previous, nullptr);
}

bool is_mine(const struct sigaction& a) { return (a.sa_flags & SA_SIGINFO) != 0 && a.sa_sigaction == on_sigbus; }

void install_sigbus_handler() {
    struct sigaction current;
    if (sigaction(SIGBUS, nullptr, &current) == 0 && is_mine(current))
        return;
    std::lock_guard<std::mutex> g(g_install);
    struct sigaction mine, before;
    std::memset(&mine, 0, sizeof mine);
    mine.sa_sigaction = on_sigbus;
    // SA_NODEFER: the jump out of the handler leaves SIGBUS unblocked.
    mine.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&mine.sa_mask);
    if (sigaction(SIGBUS, &mine, &before) == 0 && !is_mine(before))
        g_previous = before;
}

// Runs body() (loads and stores through a ring's mapping, nothing that needs
// unwinding); false when it faulted.
template <class Body>
__attribute__((noinline)) bool guarded(const Body& body) {
    install_sigbus_handler();
    sigjmp_buf guard;
    if (sigsetjmp(guard, 0) != 0)
        return false;
    t_guard = &guard;
    std::atomic_signal_fence(std::memory_order_seq_cst);  // body's accesses stay inside the guard
    body();
    std::atomic_signal_fence(std::memory_order_seq_cst);
    t_guard = nullptr;
    return true;
}

}  // namespace

// ---- frame types and references ------------------------------------------------------

uint64_t FrameType::bytes() const {
    if (ndim == 0 || ndim > kMaxDims || itemsize == 0)
        return 0;
    uint64_t n = itemsize;
    for (uint32_t i = 0; i < ndim; ++i) {
        if (shape[i] == 0 || n > kMaxRingBytes / shape[i])
            return 0;
        n *= shape[i];
    }
    return n;
}

bool FrameType::operator==(const FrameType& o) const {
    return ndim == o.ndim && itemsize == o.itemsize && std::memcmp(shape, o.shape, sizeof shape) == 0 &&
           std::memcmp(dtype, o.dtype, sizeof dtype) == 0;
}

namespace {

bool is_hex(const std::string& s, size_t len) {
    if (s.size() != len)
        return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

// A decimal number of at most 10 digits that fits 32 bits.
bool parse_u32(const std::string& s, uint32_t* out) {
    if (s.empty() || s.size() > 10)
        return false;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > UINT32_MAX)
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

std::string hex16(uint64_t v) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
    return buf;
}

bool valid_ring_name(const std::string& name, uint32_t* pid, uint64_t* instance) {
    // xalo-<pid>-<16 hex>
    if (name.compare(0, 5, "xalo-") != 0)
        return false;
    size_t dash = name.find('-', 5);
    if (dash == std::string::npos || !parse_u32(name.substr(5, dash - 5), pid) || *pid == 0)
        return false;
    std::string hex = name.substr(dash + 1);
    if (!is_hex(hex, 16))
        return false;
    *instance = std::strtoull(hex.c_str(), nullptr, 16);
    return true;
}

}  // namespace

// NumPy's dtype.str of a plain number type: byte order, kind, item size.
bool valid_dtype(const char* d, uint32_t* itemsize) {
    size_t n = strnlen(d, sizeof(FrameType::dtype));
    if (n < 3 || n >= sizeof(FrameType::dtype) || std::strchr("<>|=", d[0]) == nullptr ||
        std::strchr("biuf", d[1]) == nullptr || d[1] == '\0')
        return false;
    uint32_t size = 0;
    if (!parse_u32(std::string(d + 2, n - 2), &size) || (size != 1 && size != 2 && size != 4 && size != 8))
        return false;
    *itemsize = size;
    return true;
}

std::string format_reference(const Reference& r) {
    std::string s = "shm1:" + r.boot_id + ":" + r.machine_id + ":" + r.name + ":" + hex16(r.instance) + ":" +
                    std::to_string(r.slot) + ":" + std::to_string(r.seq) + ":";
    for (uint32_t i = 0; i < r.type.ndim; ++i)
        s += (i ? "x" : "") + std::to_string(r.type.shape[i]);
    s += ":";
    s += std::string(r.type.dtype, strnlen(r.type.dtype, sizeof r.type.dtype));
    return s;
}

bool parse_reference(const char* text, size_t n, Reference* out, std::string* why) {
    auto refuse = [&](const char* what) {
        *why = what;
        return false;
    };
    if (n > 256)
        return refuse("too long");
    std::vector<std::string> f;
    std::string cur;
    for (size_t i = 0; i < n; ++i) {
        char c = text[i];
        if (c == ':') {
            f.push_back(cur);
            cur.clear();
        } else if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7e) {
            return refuse("not printable ASCII");
        } else {
            cur += c;
        }
    }
    f.push_back(cur);
    if (f.size() != 9 || f[0] != "shm1")
        return refuse("not a shared-memory frame reference of this kit");
    Reference r;
    r.boot_id = f[1];
    r.machine_id = f[2];
    r.name = f[3];
    if (!is_hex(r.boot_id, 32))
        return refuse("bad boot id");
    if (r.machine_id != "-" && !is_hex(r.machine_id, 32))
        return refuse("bad machine id");
    uint32_t pid = 0;
    uint64_t name_instance = 0;
    if (!valid_ring_name(r.name, &pid, &name_instance))
        return refuse("bad ring name");
    if (!is_hex(f[4], 16))
        return refuse("bad instance");
    r.instance = std::strtoull(f[4].c_str(), nullptr, 16);
    if (r.instance != name_instance)
        return refuse("instance does not match the ring name");
    if (!parse_u32(f[5], &r.slot) || r.slot >= kMaxSlots)
        return refuse("slot out of range");
    if (!parse_u32(f[6], &r.seq) || r.seq == 0 || r.seq % 2 != 0)
        return refuse("bad sequence number");
    const std::string& dims = f[7];
    size_t start = 0;
    while (true) {
        size_t x = dims.find('x', start);
        std::string d = dims.substr(start, x == std::string::npos ? std::string::npos : x - start);
        if (r.type.ndim == kMaxDims || !parse_u32(d, &r.type.shape[r.type.ndim]))
            return refuse("bad shape");
        ++r.type.ndim;
        if (x == std::string::npos)
            break;
        start = x + 1;
    }
    if (f[8].size() >= sizeof r.type.dtype)
        return refuse("bad element type");
    std::memcpy(r.type.dtype, f[8].data(), f[8].size());
    if (!valid_dtype(r.type.dtype, &r.type.itemsize))
        return refuse("bad element type");
    if (r.type.bytes() == 0)
        return refuse("frame size out of range");
    *out = std::move(r);
    return true;
}

// ---- host and process identity ----------------------------------------------------

namespace {

std::string first_line(const char* path) {
    std::ifstream in(path);
    std::string line;
    if (in)
        std::getline(in, line);
    return line;
}

std::string read_boot_id() {
    std::string s, raw = first_line("/proc/sys/kernel/random/boot_id");
    for (char c : raw)
        if (c != '-')
            s += static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    return is_hex(s, 32) ? s : std::string();
}

std::string read_machine_id() {
    for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
        std::string s = first_line(path);
        if (is_hex(s, 32))
            return s;
    }
    return "-";
}

uint64_t random_instance() {
    std::random_device rd;
    uint64_t v = 0;
    while (v == 0)
        v = (uint64_t{rd()} << 32) ^ rd();
    return v;
}

std::string errno_text(int e) { return std::strerror(e); }

}  // namespace

const std::string& boot_id() {
    static const std::string id = read_boot_id();
    return id;
}

const std::string& machine_id() {
    static const std::string id = read_machine_id();
    return id;
}

namespace {

// The environment variable `name` when it holds a number from lo to hi, else
// `fallback` (a value it cannot use is reported by the module that reads it).
uint32_t setting(const char* name, uint32_t lo, uint32_t hi, uint32_t fallback) {
    const char* text = std::getenv(name);
    uint32_t v = 0;
    return text != nullptr && parse_u32(text, &v) && v >= lo && v <= hi ? v : fallback;
}

}  // namespace

uint32_t slots_from_env() { return setting("XALO_SHM_SLOTS", 2, kMaxSlots, kDefaultSlots); }

uint32_t max_rings_from_env() { return setting("XALO_SHM_MAX_RINGS", 1, kMaxRingsLimit, kDefaultMaxRings); }

Sharing sharing_from_env() {
    Sharing s;
    const char* text = std::getenv("XALO_SHM_GROUP");
    if (text == nullptr || *text == '\0')
        return s;
    uint32_t gid = 0;
    if (parse_u32(text, &gid)) {
        s.group = static_cast<gid_t>(gid);
    } else {
        group g, *found = nullptr;
        std::vector<char> buf(16384);
        if (getgrnam_r(text, &g, buf.data(), buf.size(), &found) != 0 || found == nullptr) {
            s.error = std::string("XALO_SHM_GROUP=") + text + " names no group of this host";
            return s;
        }
        s.group = g.gr_gid;
    }
    s.group_set = true;
    return s;
}

// ---- writing -----------------------------------------------------------------------

std::unique_ptr<WriterRing> WriterRing::create(const FrameType& type, uint32_t slots) {
    const uint64_t frame_bytes = type.bytes();
    if (frame_bytes == 0)
        throw Error("frame too large for a shared-memory ring");
    if (boot_id().empty())
        throw Error("shared-memory ring not made: the host's boot id cannot be read");
    const uint64_t stride = kSlotHead + round64(frame_bytes);
    const uint64_t total = kDataOffset + stride * slots;
    if (stride > UINT32_MAX || total > kMaxRingBytes)
        throw Error("shared-memory ring of " + std::to_string(slots) + " slots x " + std::to_string(frame_bytes) +
                    " bytes exceeds the limit of " + std::to_string(kMaxRingBytes) +
                    " bytes (lower XALO_SHM_SLOTS)");
    const Sharing sharing = sharing_from_env();
    if (!sharing.error.empty())
        throw Error("shared-memory ring not made: " + sharing.error);

    std::unique_ptr<WriterRing> w(new WriterRing());
    w->owner_ = getpid();
    w->instance_ = random_instance();
    w->name_ = "xalo-" + std::to_string(w->owner_) + "-" + hex16(w->instance_);
    const std::string path = std::string(kShmDir) + "/" + w->name_;
    int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        throw Error("shared-memory ring " + w->name_ + " cannot be made in " + kShmDir + ": " + errno_text(errno));
    auto give_up = [&](const std::string& what, int e) {
        ::close(fd);
        ::unlink(path.c_str());
        throw Error(what + ": " + errno_text(e));
    };
    // Private to this user whatever the umask, or readable by one group.
    if (sharing.group_set && fchown(fd, static_cast<uid_t>(-1), sharing.group) != 0)
        give_up("shared-memory ring cannot be given to group " + std::to_string(sharing.group) +
                    " (XALO_SHM_GROUP; the producer must belong to it)",
                errno);
    if (fchmod(fd, sharing.group_set ? 0640 : 0600) != 0)
        give_up("shared-memory ring " + w->name_ + " cannot be made private", errno);
    // Held as long as the owner lives (the kernel drops it when the process
    // ends, however it ends): how a sweeper tells a live ring from a dead one.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        give_up("shared-memory ring " + w->name_ + " cannot be locked", errno);
    // Allocated whole now: a tmpfs without room says so here (ENOSPC). The
    // slots' numbers start as zeros ("never written").
    int rc = posix_fallocate(fd, 0, static_cast<off_t>(total));
    if (rc != 0)
        give_up("no room for a shared-memory ring of " + std::to_string(total) + " bytes (" +
                    std::to_string(slots) + " slots x " + std::to_string(frame_bytes) + " bytes) in " + kShmDir,
                rc);
    Header h{};  // no padding: every byte written is a field's
    std::memcpy(h.magic, kMagic, sizeof kMagic);
    h.header_bytes = sizeof(Header);
    h.slots = slots;
    h.stride = static_cast<uint32_t>(stride);
    h.data_offset = kDataOffset;
    h.owner_pid = static_cast<uint32_t>(w->owner_);
    h.instance = w->instance_;
    h.ring_bytes = total;
    h.type = type;
    // The header first, `ready` last.
    if (!pwrite_all(fd, &h, sizeof h, 0))
        give_up("shared-memory ring " + w->name_ + " cannot be written", errno);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (!pwrite_u32(fd, kReadyAt, 1))
        give_up("shared-memory ring " + w->name_ + " cannot be written", errno);
    // Populated now, so the first frames do not pay a page fault per page.
    void* p = mmap(nullptr, static_cast<size_t>(total), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0);
    if (p == MAP_FAILED)
        give_up("shared-memory ring of " + std::to_string(total) + " bytes cannot be mapped", errno);
    w->base_ = static_cast<unsigned char*>(p);
    w->fd_ = fd;
    w->slots_ = slots;
    w->stride_ = static_cast<uint32_t>(stride);
    w->data_offset_ = kDataOffset;
    w->frame_bytes_ = frame_bytes;
    w->ring_bytes_ = total;
    w->seqs_.reset(new uint32_t[slots]());
    return w;
}

WriterRing::~WriterRing() {
    if (base_ != nullptr)
        munmap(base_, static_cast<size_t>(ring_bytes_));
    if (fd_ >= 0)
        ::close(fd_);
}

void WriterRing::write(const void* frame, uint32_t* slot, uint32_t* seq) {
    if (broken_)
        throw Error("shared-memory ring " + name_ + " is broken");
    uint32_t s = next_;
    next_ = next_ + 1 == slots_ ? 0 : next_ + 1;
    unsigned char* at = base_ + slot_at(data_offset_, stride_, s);
    const uint32_t v = seqs_[s];
    const uint32_t done = v + 2 == 0 ? 2 : v + 2;  // 0 means "never written"
    const size_t n = static_cast<size_t>(frame_bytes_);
    // Odd while the frame is written; the fence keeps the frame's stores
    // after the odd number, the release store keeps them before the even one.
    bool ok = guarded([&] {
        std::atomic<uint32_t>& number = word_at(at, 0);
        number.store(v + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        std::memcpy(at + kSlotHead, frame, n);
        number.store(done, std::memory_order_release);
    });
    if (!ok) {
        // Only a file cut short by another process (or a hole punched in it
        // while /dev/shm is full) gets here.
        broken_ = true;
        throw Error("shared-memory ring " + name_ + " cannot be written: its file was cut short by another process");
    }
    seqs_[s] = done;
    *slot = s;
    *seq = done;
}

bool WriterRing::usable() const {
    struct stat st;
    return !broken_ && fstat(fd_, &st) == 0 && st.st_nlink > 0 && static_cast<uint64_t>(st.st_size) == ring_bytes_;
}

void WriterRing::close_and_unlink() {
    if (unlinked_)
        return;
    unlinked_ = true;
    pwrite_u32(fd_, kClosedAt, 1);
    // Only while the name is still this ring's: once it was removed, another
    // user may have made a file of that name.
    const std::string path = std::string(kShmDir) + "/" + name_;
    struct stat mine, named;
    if (fstat(fd_, &mine) == 0 && lstat(path.c_str(), &named) == 0 && mine.st_ino == named.st_ino &&
        mine.st_dev == named.st_dev)
        ::unlink(path.c_str());
}

// ---- reading -----------------------------------------------------------------------

ReaderRing::~ReaderRing() {
    if (base_ != nullptr)
        munmap(base_, size_);
}

bool ReaderRing::closed() const {
    uint32_t closed = 1;  // a header cut short counts as closed: the ring is opened afresh
    guarded([&] { closed = word_at(base_, kClosedAt).load(std::memory_order_acquire); });
    return closed != 0;
}

ReadStatus ReaderRing::read(uint32_t slot, uint32_t seq, void* dst) const {
    if (slot >= slots_)
        return ReadStatus::kOverwritten;
    const unsigned char* at = base_ + slot_at(data_offset_, stride_, slot);
    const size_t n = static_cast<size_t>(type_.bytes());
    ReadStatus status = ReadStatus::kOverwritten;
    bool ok = guarded([&] {
        const std::atomic<uint32_t>& number = word_at(const_cast<unsigned char*>(at), 0);
        if (number.load(std::memory_order_acquire) != seq)
            return;
        std::memcpy(dst, at + kSlotHead, n);
        // The copy's loads stay before the second look at the number.
        std::atomic_thread_fence(std::memory_order_acquire);
        if (number.load(std::memory_order_relaxed) == seq)
            status = ReadStatus::kOk;
    });
    return ok ? status : ReadStatus::kShrunk;
}

// Opens and checks one ring; null with the reason when it cannot be read.
std::shared_ptr<ReaderRing> ReaderRing::open(const std::string& name, uint64_t instance, std::string* why) {
    uint32_t pid = 0;
    uint64_t name_instance = 0;
    if (!valid_ring_name(name, &pid, &name_instance) || name_instance != instance) {
        *why = "bad ring name";
        return nullptr;
    }
    const Sharing sharing = sharing_from_env();
    if (!sharing.error.empty()) {
        *why = sharing.error;
        return nullptr;
    }
    // Anyone may put a file of that name there: a FIFO must not block the
    // open, a link is not followed, and only a regular file is read.
    int fd = ::open((std::string(kShmDir) + "/" + name).c_str(),
                    O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *why = errno == ENOENT  ? "the ring is gone (its producer has exited, or it lives in another /dev/shm)"
               : errno == ELOOP ? "not a ring of this kit (a symbolic link)"
                                : "the ring cannot be opened: " + errno_text(errno);
        return nullptr;
    }
    // Needed only until the ring is mapped: the mapping holds the file.
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    std::shared_ptr<ReaderRing> r(new ReaderRing());
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = "not a ring of this kit (not a regular file)";
        return nullptr;
    }
    if (st.st_uid != geteuid() && !(sharing.group_set && st.st_gid == sharing.group)) {
        *why = "the ring belongs to user " + std::to_string(st.st_uid) +
               (sharing.group_set ? " and not to group " + std::to_string(sharing.group) + " (XALO_SHM_GROUP)"
                                  : ", not to this one (XALO_SHM_GROUP shares rings with a group)");
        return nullptr;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        *why = "the ring is writable by other users";
        return nullptr;
    }
    if (st.st_size < static_cast<off_t>(kDataOffset) || static_cast<uint64_t>(st.st_size) > kMaxRingBytes) {
        *why = "not a ring of this kit (size)";
        return nullptr;
    }
    // Read once and checked: the copy is what is used later, the producer
    // (or anyone who can write the file) may change the header at any time.
    Header c;
    if (!pread_all(fd, &c, sizeof c, 0)) {
        *why = "not a ring of this kit (size)";
        return nullptr;
    }
    if (c.ready != 1) {
        *why = "the ring is not ready";
        return nullptr;
    }
    uint32_t itemsize = 0;
    c.type.dtype[sizeof c.type.dtype - 1] = '\0';
    const uint64_t frame_bytes = c.type.bytes();
    bool sound = std::memcmp(c.magic, kMagic, sizeof kMagic) == 0 && c.header_bytes == sizeof(Header) &&
                 c.data_offset == kDataOffset && c.slots >= 1 && c.slots <= kMaxSlots && frame_bytes != 0 &&
                 valid_dtype(c.type.dtype, &itemsize) && itemsize == c.type.itemsize &&
                 c.stride == kSlotHead + round64(frame_bytes) &&
                 c.ring_bytes == uint64_t{c.data_offset} + uint64_t{c.stride} * c.slots &&
                 c.ring_bytes == static_cast<uint64_t>(st.st_size);
    if (!sound) {
        *why = "not a ring of this kit (header)";
        return nullptr;
    }
    if (c.owner_pid != pid || c.instance != instance) {
        *why = "the ring belongs to another producer";
        return nullptr;
    }
    void* p = mmap(nullptr, static_cast<size_t>(c.ring_bytes), PROT_READ, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        *why = "the ring cannot be mapped: " + errno_text(errno);
        return nullptr;
    }
    r->base_ = static_cast<unsigned char*>(p);
    r->size_ = static_cast<size_t>(c.ring_bytes);
    r->slots_ = c.slots;
    r->stride_ = c.stride;
    r->data_offset_ = c.data_offset;
    r->instance_ = c.instance;
    r->type_ = c.type;
    return r;
}

namespace {

// ---- the process's rings -------------------------------------------------------------

struct TypeLess {
    bool operator()(const FrameType& a, const FrameType& b) const { return std::memcmp(&a, &b, sizeof a) < 0; }
};

struct Failure {
    std::string message;
    std::chrono::steady_clock::time_point at;
};

struct Writer {
    std::shared_ptr<WriterRing> ring;
    uint64_t used = 0;  // the registry's clock at its last use
};

// A run of rings that cannot be made (a full /dev/shm, mostly) is reported
// once: at its first failure, and again only once a ring was made since or
// no ring failed for kQuietPeriod.
constexpr auto kQuietPeriod = std::chrono::seconds(60);

struct Registry {
    std::mutex lock;
    pid_t pid = 0;  // the process whose rings `writers` holds
    std::map<FrameType, Writer, TypeLess> writers;
    uint64_t clock = 0;
    std::map<FrameType, Failure, TypeLess> failures;
    bool failing = false;  // a failure was reported and no ring made since
    std::chrono::steady_clock::time_point last_failure;
    std::vector<std::pair<std::string, std::shared_ptr<ReaderRing>>> readers;  // most recent last
    bool exit_hook = false;
};

// Never destroyed: the exit hook and late threads may still use it.
Registry& registry() {
    static Registry* r = new Registry();
    return *r;
}

// Each costs a mapping (of at most kMaxRingBytes) as long as it is kept.
constexpr size_t kMaxOpenRings = 8;

void unlink_own_rings() {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    if (r.pid != getpid())
        return;  // a forked child: the rings are its parent's
    for (auto& entry : r.writers)
        entry.second.ring->close_and_unlink();
}

size_t sweep(const Registry& r);

// The failure to throw now: loud when it starts a new run of failures.
Error failure(Registry& r, const std::string& message) {
    auto now = std::chrono::steady_clock::now();
    bool quiet = r.failing && now - r.last_failure < kQuietPeriod;
    r.failing = true;
    r.last_failure = now;
    return Error(message, quiet);
}

}  // namespace

std::shared_ptr<WriterRing> writer_for(const FrameType& type) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    if (r.pid != getpid()) {
        // After a fork the child makes rings of its own; the parent's are
        // its parent's to unlink (closing the child's descriptors leaves the
        // parent's locks alone).
        r.writers.clear();
        r.failures.clear();
        r.failing = false;
        r.pid = getpid();
    }
    auto found = r.writers.find(type);
    if (found != r.writers.end()) {
        if (found->second.ring->usable()) {
            found->second.used = ++r.clock;
            return found->second.ring;
        }
        found->second.ring->close_and_unlink();
        r.writers.erase(found);
    }
    auto failed = r.failures.find(type);
    if (failed != r.failures.end() && std::chrono::steady_clock::now() - failed->second.at < std::chrono::seconds(1))
        throw failure(r, failed->second.message);
    if (!r.exit_hook) {
        std::atexit(unlink_own_rings);
        r.exit_hook = true;
    }
    // Room for one more: the least recently used ring goes (a reader still
    // holding a reference to it is told it is gone).
    const size_t most = max_rings_from_env();
    while (!r.writers.empty() && r.writers.size() >= most) {
        auto oldest = r.writers.begin();
        for (auto it = r.writers.begin(); it != r.writers.end(); ++it)
            if (it->second.used < oldest->second.used)
                oldest = it;
        oldest->second.ring->close_and_unlink();
        r.writers.erase(oldest);
    }
    sweep(r);
    try {
        std::shared_ptr<WriterRing> made = WriterRing::create(type, slots_from_env());
        r.writers[type] = Writer{made, ++r.clock};
        r.failures.erase(type);
        r.failing = false;
        return made;
    } catch (const Error& e) {
        r.failures[type] = Failure{e.what(), std::chrono::steady_clock::now()};
        throw failure(r, e.what());
    }
}

std::shared_ptr<ReaderRing> attach(const std::string& name, uint64_t instance, std::string* why) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    for (size_t i = 0; i < r.readers.size(); ++i) {
        if (r.readers[i].first != name)
            continue;
        std::shared_ptr<ReaderRing> ring = r.readers[i].second;
        r.readers.erase(r.readers.begin() + static_cast<std::ptrdiff_t>(i));
        if (!ring->closed() && ring->instance() == instance) {
            r.readers.emplace_back(name, ring);
            return ring;
        }
        break;  // opened afresh below
    }
    std::shared_ptr<ReaderRing> ring = ReaderRing::open(name, instance, why);
    if (ring && ring->closed()) {
        *why = "the ring is gone (its producer has exited)";
        return nullptr;
    }
    if (!ring)
        return nullptr;
    if (r.readers.size() == kMaxOpenRings)
        r.readers.erase(r.readers.begin());
    r.readers.emplace_back(name, ring);
    return ring;
}

namespace {

bool holds(const Registry& r, const std::string& name) {
    if (r.pid != getpid())
        return false;
    for (const auto& entry : r.writers)
        if (entry.second.ring->name() == name)
            return true;
    return false;
}

// sweep_dead_rings with the registry locked: its own rings are kept. Only
// this user's regular files are looked at, through pread and pwrite.
size_t sweep(const Registry& r) {
    DIR* dir = opendir(kShmDir);
    if (dir == nullptr)
        return 0;
    std::vector<std::string> dead;
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        uint32_t pid = 0;
        uint64_t instance = 0;
        if (!valid_ring_name(name, &pid, &instance) || holds(r, name))
            continue;
        int fd = ::open((std::string(kShmDir) + "/" + name).c_str(),
                        O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0)
            continue;  // another user's, a link, or gone meanwhile
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
            ::close(fd);
            continue;
        }
        // A live owner holds its lock; a free lock alone may also be a ring
        // being made, so it counts only once the ring is ready or its maker
        // is gone.
        if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
            ::close(fd);
            continue;
        }
        bool maker_gone = kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
        Header h;
        bool ready = pread_all(fd, &h, sizeof h, 0) && std::memcmp(h.magic, kMagic, sizeof kMagic) == 0 &&
                     h.header_bytes == sizeof(Header) && h.ready == 1;
        if (ready)
            pwrite_u32(fd, kClosedAt, 1);  // readers that still hold it let go
        if (ready || maker_gone)
            dead.push_back(name);
        ::close(fd);
    }
    closedir(dir);
    size_t swept = 0;
    for (const std::string& name : dead)
        swept += ::unlink((std::string(kShmDir) + "/" + name).c_str()) == 0;
    return swept;
}

}  // namespace

size_t sweep_dead_rings() {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    return sweep(r);
}

}  // namespace xshm
