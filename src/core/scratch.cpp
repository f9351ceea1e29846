#include "scratch.hpp"

#include <array>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace brelvox::core {

namespace {
struct Spare {
    Scratch::Buffer buffer;
    std::size_t size = 0; // in bytes
    bool lent = false;
};
thread_local std::array<Spare, 3> spares;

// Large buffers sit on 2 MB pages where the system offers them: a panel written in no
// particular order would otherwise miss the address cache on almost every write.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeFrom = 2 * kHugePage;
constexpr std::align_val_t kAlignment{kHugePage};

Scratch::Buffer allocate(std::size_t size) {
    if (size < kHugeFrom) return Scratch::Buffer(::operator new(size > 0 ? size : 1), {false});
    size = (size + kHugePage - 1) / kHugePage * kHugePage;
    void* p = ::operator new(size, kAlignment);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    madvise(p, size, MADV_HUGEPAGE); // advice only: a refusal changes nothing
#endif
    return Scratch::Buffer(p, {true});
}
} // namespace

void Scratch::Release::operator()(void* p) const {
    if (huge)
        ::operator delete(p, kAlignment);
    else
        ::operator delete(p);
}

void* Scratch::bytes(std::size_t size) {
    for (std::size_t k = 0; spare_ < 0 && !own_ && k < spares.size(); ++k) {
        Spare& s = spares[k];
        if (s.lent) continue;
        if (s.size < size) {
            s.buffer.reset();
            s.buffer = allocate(size);
            s.size = size;
        }
        s.lent = true;
        spare_ = static_cast<int>(k);
        return s.buffer.get();
    }
    own_ = allocate(size);
    return own_.get();
}

Scratch::~Scratch() {
    if (spare_ < 0) return;
    Spare& s = spares[static_cast<std::size_t>(spare_)];
    s.lent = false;
    if (s.size > kKeptBytes) {
        s.buffer.reset();
        s.size = 0;
    }
}

} // namespace brelvox::core
