"""Cache hits of ttl_cache beside functools.lru_cache on the same function.

Each scenario times a loop of hits with the same arguments; the floor is the same loop
through `functools.lru_cache` (whose hits do everything a ttl_cache hit does except
reading the clock). Target: a hit costs at most twice an lru_cache hit. The last column
also gives the ratio with the bare loop's own cost taken out of both.

    PYTHONPATH=<build>/pkg python bench/bench_decorators.py
"""

import functools
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import best_time, report  # noqa: E402

from brelvox.utils.decorators import ttl_cache  # noqa: E402

HITS = 200_000


def industry(order_book_id, date=None, source="sws"):
    return (order_book_id, date, source)


def hits_int(fn, r=range(HITS)):
    for _ in r:
        fn(600000)


def hits_str(fn, r=range(HITS)):
    for _ in r:
        fn("600000.XSHG")


def hits_mixed(fn, r=range(HITS)):
    for _ in r:
        fn("600000.XSHG", 20240102, source="citics")


def bare_loop(fn, r=range(HITS)):
    for _ in r:
        pass


def main():
    ttl = ttl_cache(3600)(industry)
    lru = functools.lru_cache()(industry)
    loop = best_time(lambda: bare_loop(None), repeat=7)
    print("%d hits per run; bare loop %.3f ms" % (HITS, loop * 1e3))
    for name, scenario in [("one int argument", hits_int), ("one str argument", hits_str),
                           ("two positional + one keyword", hits_mixed)]:
        scenario(ttl)
        scenario(lru)
        mine = best_time(lambda: scenario(ttl), repeat=7)
        floor = best_time(lambda: scenario(lru), repeat=7)
        report("ttl_cache hit vs lru_cache, " + name, mine, floor, target=2.0)
        print("%48s net of loop: %.1f ns vs %.1f ns per hit, ratio %.2f" % (
            "", (mine - loop) / HITS * 1e9, (floor - loop) / HITS * 1e9,
            (mine - loop) / (floor - loop)))


if __name__ == "__main__":
    main()
