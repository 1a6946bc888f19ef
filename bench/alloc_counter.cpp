// The counting shim: the process's allocation functions, forwarding to the C library's own
// (__libc_malloc and its kin) after counting. Nothing here allocates, locks or calls a function
// that might: counts are atomics in a fixed table, found by thread through a thread-local index.
#include "alloc_counter.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <link.h>
#include <new>
#include <sys/syscall.h>
#include <unistd.h>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
void *__libc_memalign(size_t, size_t);
}

namespace kalvix3::bench::alloc {

namespace {

struct Slot {
    std::atomic<int> tid{0};
    std::atomic<uint64_t> allocations[ModuleCount] = {};
    std::atomic<uint64_t> bytes{0};
};

Slot gSlots[kMaxThreads];
std::atomic<size_t> gSlotsUsed{0};
Slot gOverflow; // threads beyond the table, all together

struct Range {
    std::atomic<uintptr_t> begin{0}, end{0};
};
Range gRanges[2]; // Library, StandIn
std::atomic<bool> gCalled{false};

thread_local Slot *tSlot = nullptr;

Slot &slotOfThisThread() {
    if (tSlot != nullptr)
        return *tSlot;
    size_t index = gSlotsUsed.fetch_add(1, std::memory_order_relaxed);
    Slot *slot = index < kMaxThreads ? &gSlots[index] : &gOverflow;
    if (index < kMaxThreads)
        slot->tid.store(static_cast<int>(syscall(SYS_gettid)), std::memory_order_release);
    tSlot = slot;
    return *slot;
}

Module moduleOf(const void *caller) {
    auto address = reinterpret_cast<uintptr_t>(caller);
    for (int m = 0; m < 2; ++m) {
        uintptr_t begin = gRanges[m].begin.load(std::memory_order_relaxed);
        if (begin != 0 && address >= begin && address < gRanges[m].end.load(std::memory_order_relaxed))
            return static_cast<Module>(m);
    }
    return Other;
}

void count(const void *caller, size_t size) {
    gCalled.store(true, std::memory_order_relaxed);
    Slot &slot = slotOfThisThread();
    slot.allocations[moduleOf(caller)].fetch_add(1, std::memory_order_relaxed);
    slot.bytes.fetch_add(size, std::memory_order_relaxed);
}

struct Wanted {
    const char *names[2];
};

int noteRange(dl_phdr_info *info, size_t, void *data) {
    const auto *wanted = static_cast<const Wanted *>(data);
    const char *path = info->dlpi_name;
    if (path == nullptr || *path == '\0')
        return 0;
    const char *base = std::strrchr(path, '/');
    base = base != nullptr ? base + 1 : path;
    for (int m = 0; m < 2; ++m) {
        // By name prefix: the library's file carries its version (libkalvix3.so.2).
        if (wanted->names[m] == nullptr ||
            std::strncmp(base, wanted->names[m], std::strlen(wanted->names[m])) != 0)
            continue;
        uintptr_t low = UINTPTR_MAX, high = 0;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
            const ElfW(Phdr) &segment = info->dlpi_phdr[i];
            if (segment.p_type != PT_LOAD || (segment.p_flags & PF_X) == 0)
                continue;
            uintptr_t start = info->dlpi_addr + segment.p_vaddr;
            low = start < low ? start : low;
            high = start + segment.p_memsz > high ? start + segment.p_memsz : high;
        }
        if (high != 0) {
            gRanges[m].end.store(high, std::memory_order_relaxed);
            gRanges[m].begin.store(low, std::memory_order_relaxed);
        }
    }
    return 0;
}

void fill(const Slot &slot, ThreadCounts &counts) {
    counts.tid = slot.tid.load(std::memory_order_acquire);
    for (int m = 0; m < ModuleCount; ++m)
        counts.allocations[m] = slot.allocations[m].load(std::memory_order_relaxed);
    counts.bytes = slot.bytes.load(std::memory_order_relaxed);
}

} // namespace

void locateModules(const std::string &libraryName, const std::string &standInName) {
    Wanted wanted{{libraryName.c_str(), standInName.empty() ? nullptr : standInName.c_str()}};
    dl_iterate_phdr(&noteRange, &wanted);
}

void snapshotInto(std::vector<ThreadCounts> &into) {
    into.clear();
    size_t used = gSlotsUsed.load(std::memory_order_acquire);
    for (size_t i = 0; i < used && i < kMaxThreads && into.size() < into.capacity(); ++i) {
        ThreadCounts counts;
        fill(gSlots[i], counts);
        into.push_back(counts);
    }
    if (used > kMaxThreads && into.size() < into.capacity()) {
        ThreadCounts counts;
        fill(gOverflow, counts);
        counts.tid = -1;
        into.push_back(counts);
    }
}

std::vector<ThreadCounts> snapshot() {
    std::vector<ThreadCounts> counts;
    counts.reserve(kMaxThreads + 1);
    snapshotInto(counts);
    return counts;
}

std::vector<ThreadCounts> difference(const std::vector<ThreadCounts> &before,
                                     const std::vector<ThreadCounts> &after) {
    std::vector<ThreadCounts> result;
    for (const ThreadCounts &later : after) {
        ThreadCounts delta = later;
        for (const ThreadCounts &earlier : before) {
            if (earlier.tid != later.tid)
                continue;
            for (int m = 0; m < ModuleCount; ++m)
                delta.allocations[m] -= earlier.allocations[m];
            delta.bytes -= earlier.bytes;
            break;
        }
        if (delta.total() != 0)
            result.push_back(delta);
    }
    return result;
}

bool active() {
    void *probe = std::malloc(1);
    std::free(probe);
    return gCalled.load(std::memory_order_relaxed);
}

} // namespace kalvix3::bench::alloc

// ---- The process's allocation functions ------------------------------------------------------

using kalvix3::bench::alloc::count;

extern "C" {

__attribute__((visibility("default"))) void *malloc(size_t size) {
    count(__builtin_return_address(0), size);
    return __libc_malloc(size);
}

__attribute__((visibility("default"))) void *calloc(size_t members, size_t size) {
    count(__builtin_return_address(0), members * size);
    return __libc_calloc(members, size);
}

__attribute__((visibility("default"))) void *realloc(void *block, size_t size) {
    count(__builtin_return_address(0), size);
    return __libc_realloc(block, size);
}

__attribute__((visibility("default"))) void free(void *block) { __libc_free(block); }

} // extern "C"

namespace {

void *allocate(const void *caller, size_t size) {
    count(caller, size);
    if (void *block = __libc_malloc(size == 0 ? 1 : size))
        return block;
    throw std::bad_alloc();
}

void *allocateAligned(const void *caller, size_t size, std::align_val_t alignment) {
    count(caller, size);
    if (void *block = __libc_memalign(static_cast<size_t>(alignment), size == 0 ? 1 : size))
        return block;
    throw std::bad_alloc();
}

} // namespace

void *operator new(size_t size) { return allocate(__builtin_return_address(0), size); }
void *operator new[](size_t size) { return allocate(__builtin_return_address(0), size); }
void *operator new(size_t size, const std::nothrow_t &) noexcept {
    count(__builtin_return_address(0), size);
    return __libc_malloc(size == 0 ? 1 : size);
}
void *operator new[](size_t size, const std::nothrow_t &) noexcept {
    count(__builtin_return_address(0), size);
    return __libc_malloc(size == 0 ? 1 : size);
}
void *operator new(size_t size, std::align_val_t alignment) {
    return allocateAligned(__builtin_return_address(0), size, alignment);
}
void *operator new[](size_t size, std::align_val_t alignment) {
    return allocateAligned(__builtin_return_address(0), size, alignment);
}
void operator delete(void *block) noexcept { __libc_free(block); }
void operator delete[](void *block) noexcept { __libc_free(block); }
void operator delete(void *block, size_t) noexcept { __libc_free(block); }
void operator delete[](void *block, size_t) noexcept { __libc_free(block); }
void operator delete(void *block, std::align_val_t) noexcept { __libc_free(block); }
void operator delete[](void *block, std::align_val_t) noexcept { __libc_free(block); }
void operator delete(void *block, size_t, std::align_val_t) noexcept { __libc_free(block); }
void operator delete[](void *block, size_t, std::align_val_t) noexcept { __libc_free(block); }
