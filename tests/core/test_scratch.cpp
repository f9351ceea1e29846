// scratch: a thread's spare buffers lent and taken back; large ones on 2 MB boundaries.
#include "check.hpp"

#include "scratch.hpp"

#include <cstdint>

using namespace brelvox::core;

void test_scratch() {
    double* first = nullptr;
    {
        Scratch a;
        auto cells = a.take<double>(1000);
        CHECK(cells.size() == 1000);
        first = cells.data();
        cells[999] = 1.0;
    }
    {
        Scratch again; // the spare just given back, large enough
        CHECK(again.take<double>(500).data() == first);
    }
    {
        // three spares: a fourth Scratch at once gets memory of its own
        Scratch a, b, c, d;
        double* pa = a.take<double>(10).data();
        double* pb = b.take<double>(10).data();
        double* pc = c.take<double>(10).data();
        double* pd = d.take<double>(10).data();
        CHECK(pa != pb && pb != pc && pa != pc && pd != pa && pd != pb && pd != pc);
    }
    {
        Scratch big; // from 4 MB on, on a large page boundary
        auto cells = big.take<std::uint8_t>(std::size_t{5} << 20);
        CHECK(reinterpret_cast<std::uintptr_t>(cells.data()) % (std::size_t{2} << 20) == 0);
        cells[cells.size() - 1] = 1;
    }
    Scratch none;
    CHECK(none.take<double>(0).size() == 0);
}
