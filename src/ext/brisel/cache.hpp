// The process-wide table from order_book_id to asset-type code, and its refresh.
#pragma once

#include "bridge.hpp"

namespace brelvox::brisel {

// The asset-type codes this module assigns or dispatches on, read from AssetType at import.
struct Codes {
    nb::object stock, fund, futures, index, option, public_fund, cash, bond, convertible;
};
const Codes& codes();

// The module object; module globals (`ondrax`, `time`, `_type_cache`, ...) are read from it
// at call time, so rebinding one redirects every function that uses it.
nb::handle module();
nb::object global(const char* name);

// `time.time()` through the module's `time`, read at call time.
nb::object now();

// Every write skips ids already stored: an id's first code is its code for good.
class AssetTypeCache {
  public:
    AssetTypeCache();

    void put_one(nb::handle order_book_id, nb::handle asset_type);
    void put_many(nb::handle order_book_ids, nb::handle asset_type);
    nb::object get_one(nb::handle order_book_id) const;
    nb::dict get_many(nb::handle order_book_ids) const;
    nb::list get_asset_type(nb::handle asset_type) const;
    bool contains(nb::handle item) const;
    void set_expire(nb::handle at) { expire_ = nb::borrow(at); }
    bool is_expired() const;

    // Stores `id` under `code` unless already stored; true when it was new. `bucket`, when
    // given, caches the set of `code`'s ids across calls (filled on the first store).
    bool store(PyObject* id, PyObject* code, nb::object* bucket = nullptr);

    // The containers themselves, so what Python reads is always current.
    nb::object typedict_, otypedict_, oset_, expire_;
};

// The module's `_type_cache`, read at call time (the module global keeps it alive).
AssetTypeCache& type_cache();
// TypeError unless `cache` is an AssetTypeCache.
AssetTypeCache& cache_of(nb::handle cache);

void update_type();
void update_if_needed();

// Refuses a bare str where an iterable of ids is expected.
void require_id_iterable(nb::handle ids, const char* name);

void register_cache(nb::module_& m);
void set_module(nb::handle m, Codes&& codes, bool assertions);

} // namespace brelvox::brisel
