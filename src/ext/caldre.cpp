// brelvox.marketdata.caldre: ChinaBond valuations and the treasury yield curve.
#include "bridge.hpp"

NB_MODULE(caldre, m) {
    (void)m;
}
