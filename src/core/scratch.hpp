// Working memory of one call, kept between calls on the same thread: a panel-sized buffer
// taken fresh from the system costs a page fault per 4 KB, more than the work done in it.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

namespace brelvox::core {

// Uninitialised memory for `n` items of a trivial type, borrowed from one of the thread's
// spare buffers when one is free (kept there afterwards unless larger than kKeptBytes),
// allocated otherwise. One take per Scratch.
class Scratch {
  public:
    static constexpr std::size_t kKeptBytes = std::size_t{64} << 20;

    Scratch() = default;
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch();

    template <class T> std::span<T> take(std::size_t n) {
        return {static_cast<T*>(bytes(n * sizeof(T))), n};
    }

    // Frees a buffer; `huge` for one aligned on large pages.
    struct Release {
        bool huge;
        void operator()(void* p) const;
    };
    using Buffer = std::unique_ptr<void, Release>;

  private:
    void* bytes(std::size_t size);
    Buffer own_;
    int spare_ = -1;
};

} // namespace brelvox::core
