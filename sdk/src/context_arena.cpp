#include "context_arena.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace vsim {
namespace {

// Address space is reserved a chunk at a time and never released; a chunk
// costs no memory beyond the pages of contexts open in it.
constexpr size_t kSlotsPerChunk = 16384;

size_t page_size() {
    static const size_t size = [] {
        long page = sysconf(_SC_PAGESIZE);
        return page >= static_cast<long>(sizeof(vexasdk_dev_ctx)) ? static_cast<size_t>(page) : size_t{65536};
    }();
    return size;
}

struct Arena {
    uint8_t* chunk = nullptr;  // the chunk handing out addresses now
    size_t used = kSlotsPerChunk;
};

Arena& arena() {
    static Arena* instance = new Arena;  // never destroyed: contexts outlive static destruction
    return *instance;
}

}  // namespace

vexasdk_dev_ctx* new_context() {
    Arena& a = arena();
    size_t page = page_size();
    if (a.used == kSlotsPerChunk) {
        void* chunk = mmap(nullptr, kSlotsPerChunk * page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                           -1, 0);
        if (chunk == MAP_FAILED) return nullptr;
        a.chunk = static_cast<uint8_t*>(chunk);
        a.used = 0;
    }
    uint8_t* slot = a.chunk + a.used * page;
    if (mprotect(slot, page, PROT_READ | PROT_WRITE) != 0) return nullptr;
    ++a.used;
    return reinterpret_cast<vexasdk_dev_ctx*>(slot);  // fresh anonymous pages read as zero
}

void retire_context(vexasdk_dev_ctx* ctx) {
    // A fresh inaccessible mapping over the page drops its contents.
    mmap(ctx, page_size(), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
}

}  // namespace vsim
