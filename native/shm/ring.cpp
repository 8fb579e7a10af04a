// Shared-memory frame rings; see ring.hpp.
#include "shm/ring.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
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
#include <vector>

namespace xshm {

static_assert(std::atomic<uint32_t>::is_always_lock_free,
              "slot sequence numbers are shared between processes and must be lock-free");

// ---- layout ------------------------------------------------------------------------
//
// [Header][slot 0][slot 1]... Each slot starts on a 64-byte boundary with its
// sequence number, and its frame follows 64 bytes later. All fields are
// written before `ready` is set (release) and never change afterwards, except
// `closed` and the sequence numbers.

constexpr char kMagic[8] = {'X', 'A', 'L', 'O', 'R', 'N', 'G', '1'};
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
    std::atomic<uint32_t> ready;
    std::atomic<uint32_t> closed;
};

constexpr uint32_t round64(uint64_t n) { return static_cast<uint32_t>((n + 63) & ~uint64_t{63}); }
constexpr uint32_t kDataOffset = round64(sizeof(Header));

inline std::atomic<uint32_t>& seq_at(unsigned char* base, uint32_t data_offset, uint32_t stride, uint32_t slot) {
    return *reinterpret_cast<std::atomic<uint32_t>*>(base + data_offset + uint64_t{slot} * stride);
}

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

uint32_t slots_from_env() {
    const char* text = std::getenv("XALO_SHM_SLOTS");
    uint32_t v = 0;
    if (text != nullptr && parse_u32(text, &v) && v >= 2 && v <= kMaxSlots)
        return v;
    return kDefaultSlots;
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

    std::unique_ptr<WriterRing> w(new WriterRing());
    w->owner_ = getpid();
    w->instance_ = random_instance();
    w->name_ = "xalo-" + std::to_string(w->owner_) + "-" + hex16(w->instance_);
    const std::string path = "/" + w->name_;
    int fd = shm_open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0644);
    if (fd < 0)
        throw Error("shared-memory ring " + w->name_ + " cannot be made in " + kShmDir + ": " + errno_text(errno));
    // Held as long as the owner lives (the kernel drops it when the process
    // ends, however it ends): how a sweeper tells a live ring from a dead one.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        ::close(fd);
        shm_unlink(path.c_str());
        throw Error("shared-memory ring " + w->name_ + " cannot be locked: " + errno_text(e));
    }
    auto give_up = [&](const std::string& what, int e) {
        ::close(fd);
        shm_unlink(path.c_str());
        throw Error(what + ": " + errno_text(e));
    };
    // Allocated whole now: a tmpfs without room says so here (ENOSPC).
    int rc = posix_fallocate(fd, 0, static_cast<off_t>(total));
    if (rc != 0)
        give_up("no room for a shared-memory ring of " + std::to_string(total) + " bytes (" +
                    std::to_string(slots) + " slots x " + std::to_string(frame_bytes) + " bytes) in " + kShmDir,
                rc);
    // Populated now, so the first frames do not pay a page fault per page.
    void* p = mmap(nullptr, static_cast<size_t>(total), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0);
    if (p == MAP_FAILED)
        give_up("shared-memory ring of " + std::to_string(total) + " bytes cannot be mapped", errno);
    w->fd_ = fd;

    w->base_ = static_cast<unsigned char*>(p);
    w->size_ = static_cast<size_t>(total);
    w->slots_ = slots;
    w->stride_ = static_cast<uint32_t>(stride);
    w->data_offset_ = kDataOffset;
    w->frame_bytes_ = frame_bytes;
    Header* h = new (p) Header();
    std::memcpy(h->magic, kMagic, sizeof kMagic);
    h->header_bytes = sizeof(Header);
    h->slots = slots;
    h->stride = w->stride_;
    h->data_offset = kDataOffset;
    h->owner_pid = static_cast<uint32_t>(w->owner_);
    h->instance = w->instance_;
    h->ring_bytes = total;
    h->type = type;
    h->closed.store(0, std::memory_order_relaxed);
    for (uint32_t i = 0; i < slots; ++i)
        new (w->base_ + kDataOffset + uint64_t{i} * stride) std::atomic<uint32_t>(0);
    h->ready.store(1, std::memory_order_release);
    return w;
}

WriterRing::~WriterRing() {
    if (base_ != nullptr)
        munmap(base_, size_);
    if (fd_ >= 0)
        ::close(fd_);
}

void WriterRing::write(const void* frame, uint32_t* slot, uint32_t* seq) {
    uint32_t s = next_;
    next_ = next_ + 1 == slots_ ? 0 : next_ + 1;
    std::atomic<uint32_t>& n = seq_at(base_, data_offset_, stride_, s);
    uint32_t v = n.load(std::memory_order_relaxed);
    v += v & 1;  // never odd here: only this process writes the ring
    // Odd while the frame is written; the fence keeps the frame's stores
    // after the odd number, the release store keeps them before the even one.
    n.store(v + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    std::memcpy(base_ + data_offset_ + uint64_t{s} * stride_ + kSlotHead, frame, static_cast<size_t>(frame_bytes_));
    uint32_t done = v + 2 == 0 ? 2 : v + 2;  // 0 means "never written"
    n.store(done, std::memory_order_release);
    *slot = s;
    *seq = done;
}

void WriterRing::close_and_unlink() {
    if (unlinked_)
        return;
    unlinked_ = true;
    reinterpret_cast<Header*>(base_)->closed.store(1, std::memory_order_release);
    shm_unlink(("/" + name_).c_str());
}

// ---- reading -----------------------------------------------------------------------

ReaderRing::~ReaderRing() {
    if (base_ != nullptr)
        munmap(const_cast<unsigned char*>(base_), size_);
}

bool ReaderRing::closed() const {
    return reinterpret_cast<const Header*>(base_)->closed.load(std::memory_order_acquire) != 0;
}

ReadStatus ReaderRing::read(uint32_t slot, uint32_t seq, void* dst) const {
    if (slot >= slots_)
        return ReadStatus::kOverwritten;
    auto& n = seq_at(const_cast<unsigned char*>(base_), data_offset_, stride_, slot);
    if (n.load(std::memory_order_acquire) != seq)
        return ReadStatus::kOverwritten;
    std::memcpy(dst, base_ + data_offset_ + uint64_t{slot} * stride_ + kSlotHead, static_cast<size_t>(type_.bytes()));
    // The copy's loads stay before the second look at the number.
    std::atomic_thread_fence(std::memory_order_acquire);
    return n.load(std::memory_order_relaxed) == seq ? ReadStatus::kOk : ReadStatus::kOverwritten;
}

// Maps and checks one ring; null with the reason when it cannot be read.
std::shared_ptr<ReaderRing> ReaderRing::open(const std::string& name, uint64_t instance, std::string* why) {
    uint32_t pid = 0;
    uint64_t name_instance = 0;
    if (!valid_ring_name(name, &pid, &name_instance) || name_instance != instance) {
        *why = "bad ring name";
        return nullptr;
    }
    int fd = shm_open(("/" + name).c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) {
        *why = errno == ENOENT ? "the ring is gone (its producer has exited, or it lives in another /dev/shm)"
                               : "the ring cannot be opened: " + errno_text(errno);
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(kDataOffset) ||
        static_cast<uint64_t>(st.st_size) > kMaxRingBytes) {
        ::close(fd);
        *why = "not a ring of this kit (size)";
        return nullptr;
    }
    size_t size = static_cast<size_t>(st.st_size);
    void* p = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    int map_errno = errno;
    ::close(fd);
    if (p == MAP_FAILED) {
        *why = "the ring cannot be mapped: " + errno_text(map_errno);
        return nullptr;
    }
    std::shared_ptr<ReaderRing> r(new ReaderRing());
    r->base_ = static_cast<const unsigned char*>(p);
    r->size_ = size;
    // Every field is copied before it is checked and the copy is what is used
    // later: the producer may write its header at any time.
    const Header* h = static_cast<const Header*>(p);
    if (h->ready.load(std::memory_order_acquire) != 1) {
        *why = "the ring is not ready";
        return nullptr;
    }
    Header c;
    std::memcpy(c.magic, h->magic, sizeof c.magic);
    c.header_bytes = h->header_bytes;
    c.slots = h->slots;
    c.stride = h->stride;
    c.data_offset = h->data_offset;
    c.owner_pid = h->owner_pid;
    c.instance = h->instance;
    c.ring_bytes = h->ring_bytes;
    c.type = h->type;
    uint32_t itemsize = 0;
    c.type.dtype[sizeof c.type.dtype - 1] = '\0';
    const uint64_t frame_bytes = c.type.bytes();
    bool sound = std::memcmp(c.magic, kMagic, sizeof kMagic) == 0 && c.header_bytes == sizeof(Header) &&
                 c.data_offset == kDataOffset && c.slots >= 1 && c.slots <= kMaxSlots && frame_bytes != 0 &&
                 valid_dtype(c.type.dtype, &itemsize) && itemsize == c.type.itemsize &&
                 c.stride == kSlotHead + round64(frame_bytes) &&
                 c.ring_bytes == uint64_t{c.data_offset} + uint64_t{c.stride} * c.slots && c.ring_bytes == size;
    if (!sound) {
        *why = "not a ring of this kit (header)";
        return nullptr;
    }
    if (c.owner_pid != pid || c.instance != instance) {
        *why = "the ring belongs to another producer";
        return nullptr;
    }
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

struct Registry {
    std::mutex lock;
    pid_t pid = 0;  // the process whose rings `writers` holds
    std::map<FrameType, std::unique_ptr<WriterRing>, TypeLess> writers;
    std::map<FrameType, Failure, TypeLess> failures;
    std::vector<std::pair<std::string, std::shared_ptr<ReaderRing>>> readers;  // most recent last
    bool exit_hook = false;
};

// Never destroyed: the exit hook and late threads may still use it.
Registry& registry() {
    static Registry* r = new Registry();
    return *r;
}

constexpr size_t kMaxMappedRings = 8;

void unlink_own_rings() {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    if (r.pid != getpid())
        return;  // a forked child: the rings are its parent's
    for (auto& entry : r.writers)
        entry.second->close_and_unlink();
}

size_t sweep(const Registry& r);

}  // namespace

WriterRing& writer_for(const FrameType& type) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    if (r.pid != getpid()) {
        // After a fork the child makes rings of its own; the parent's stay
        // mapped here but are never written.
        for (auto& entry : r.writers)
            entry.second.release();
        r.writers.clear();
        r.failures.clear();
        r.pid = getpid();
    }
    auto found = r.writers.find(type);
    if (found != r.writers.end())
        return *found->second;
    auto failed = r.failures.find(type);
    if (failed != r.failures.end() && std::chrono::steady_clock::now() - failed->second.at < std::chrono::seconds(1))
        throw Error(failed->second.message);
    if (!r.exit_hook) {
        std::atexit(unlink_own_rings);
        r.exit_hook = true;
    }
    sweep(r);
    try {
        auto made = WriterRing::create(type, slots_from_env());
        WriterRing& w = *made;
        r.writers.emplace(type, std::move(made));
        r.failures.erase(type);
        return w;
    } catch (const Error& e) {
        r.failures[type] = Failure{e.what(), std::chrono::steady_clock::now()};
        throw;
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
        break;  // mapped afresh below
    }
    std::shared_ptr<ReaderRing> ring = ReaderRing::open(name, instance, why);
    if (ring && ring->closed()) {
        *why = "the ring is gone (its producer has exited)";
        return nullptr;
    }
    if (!ring)
        return nullptr;
    if (r.readers.size() == kMaxMappedRings)
        r.readers.erase(r.readers.begin());
    r.readers.emplace_back(name, ring);
    return ring;
}

namespace {

bool holds(const Registry& r, const std::string& name) {
    if (r.pid != getpid())
        return false;
    for (const auto& entry : r.writers)
        if (entry.second->name() == name)
            return true;
    return false;
}

// sweep_dead_rings with the registry locked: its own rings are kept.
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
        int fd = shm_open(("/" + name).c_str(), O_RDWR | O_CLOEXEC, 0);
        if (fd < 0)
            continue;  // another user's, or gone meanwhile
        // A live owner holds its lock; a free lock alone may also be a ring
        // being made, so it counts only once the ring is ready or its maker
        // is gone.
        if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
            ::close(fd);
            continue;
        }
        bool maker_gone = kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
        struct stat st;
        void* p = MAP_FAILED;
        if (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(kDataOffset))
            p = mmap(nullptr, kDataOffset, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p != MAP_FAILED) {
            Header* h = static_cast<Header*>(p);
            bool ready = std::memcmp(h->magic, kMagic, sizeof kMagic) == 0 && h->header_bytes == sizeof(Header) &&
                         h->ready.load(std::memory_order_acquire) == 1;
            if (ready)
                h->closed.store(1, std::memory_order_release);  // readers that still map it let go
            if (ready || maker_gone)
                dead.push_back(name);
            munmap(p, kDataOffset);
        } else if (maker_gone) {
            dead.push_back(name);
        }
        ::close(fd);
    }
    closedir(dir);
    size_t swept = 0;
    for (const std::string& name : dead)
        swept += shm_unlink(("/" + name).c_str()) == 0;
    return swept;
}

}  // namespace

size_t sweep_dead_rings() {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    return sweep(r);
}

}  // namespace xshm
