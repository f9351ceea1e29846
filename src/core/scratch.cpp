#include "scratch.hpp"

#include <array>

namespace brelvox::core {

namespace {
struct Spare {
    std::unique_ptr<std::max_align_t[]> buffer;
    std::size_t size = 0; // in bytes
    bool lent = false;
};
thread_local std::array<Spare, 3> spares;

std::unique_ptr<std::max_align_t[]> allocate(std::size_t size) {
    const std::size_t n = (size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
    return std::unique_ptr<std::max_align_t[]>(new std::max_align_t[n > 0 ? n : 1]);
}
} // namespace

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
