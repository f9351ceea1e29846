// The result frame: its (date, order_book_id) product index and its one-hot int8 columns.
#include "sorvan.hpp"

#include <algorithm>
#include <numeric>
#include <string_view>

namespace brelvox::sorvan {

namespace {

// The integer type pandas keeps the codes of a level of `n` labels in.
const char* code_dtype(std::size_t n) {
    if (n < INT8_MAX) return "int8";
    if (n < INT16_MAX) return "int16";
    if (n < INT32_MAX) return "int32";
    return "int64";
}

template <class F> void with_code_type(const char* dtype, F&& f) {
    const std::string_view d(dtype);
    if (d == "int8")
        f(std::int8_t{});
    else if (d == "int16")
        f(std::int16_t{});
    else if (d == "int32")
        f(std::int32_t{});
    else
        f(std::int64_t{});
}

// codes[outer * inner_n + inner] = outer_code[outer] (level 0) or inner_code[inner] (level 1).
nb::object product_codes(const std::vector<std::int64_t>& level_codes, std::size_t outer_n,
                         std::size_t inner_n, bool outer, std::size_t level_size) {
    const char* dtype = code_dtype(level_size);
    nb::object array =
        bridge::numpy().attr("empty")(nb::int_(outer_n * inner_n), "dtype"_a = dtype);
    with_code_type(dtype, [&](auto zero) {
        using Code = decltype(zero);
        Code* out = nb::cast<nb::ndarray<Code, nb::c_contig>>(array).data();
        nb::gil_scoped_release unlocked;
        for (std::size_t t = 0; t < outer_n; ++t) {
            Code* row = out + t * inner_n;
            if (outer)
                std::fill(row, row + inner_n, static_cast<Code>(level_codes[t]));
            else
                for (std::size_t j = 0; j < inner_n; ++j)
                    row[j] = static_cast<Code>(level_codes[j]);
        }
    });
    return array;
}

// Sorted distinct ids and each id's position among them, when every id is exactly a str
// (their UTF-8 bytes sort as the strings do); false otherwise.
bool factorize_ids(const nb::list& ids, nb::list& level, std::vector<std::int64_t>& codes) {
    const std::size_t n = ids.size();
    std::vector<std::string_view> text(n);
    for (std::size_t j = 0; j < n; ++j) {
        PyObject* id = PyList_GET_ITEM(ids.ptr(), static_cast<Py_ssize_t>(j));
        if (!PyUnicode_CheckExact(id) || !bridge::utf8_of(id, text[j], true)) return false;
    }
    std::vector<std::uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(),
              [&](std::uint32_t a, std::uint32_t b) { return text[a] < text[b]; });
    codes.assign(n, 0);
    std::int64_t next = -1;
    for (std::size_t k = 0; k < n; ++k) {
        if (k == 0 || text[order[k]] != text[order[k - 1]]) {
            ++next;
            level.append(ids[order[k]]);
        }
        codes[order[k]] = next;
    }
    return true;
}

} // namespace

// What `MultiIndex.from_product([dates, ids], names=...)` gives, the codes laid out natively.
nb::object product_index(nb::handle dates, const nb::list& ids) {
    nb::module_ pd = bridge::pandas();
    nb::tuple names = nb::make_tuple("date", "order_book_id");
    nb::list id_labels;
    std::vector<std::int64_t> id_codes;
    if (!factorize_ids(ids, id_labels, id_codes))
        return pd.attr("MultiIndex")
            .attr("from_product")(nb::make_tuple(dates, ids), "names"_a = names);
    nb::object date_factors = pd.attr("Categorical")(dates, "ordered"_a = false);
    nb::object date_level = date_factors.attr("categories");
    std::vector<std::int64_t> date_codes =
        bridge::to_vector<std::int64_t>(date_factors.attr("codes"), "int64");
    nb::object id_level = pd.attr("Index")(id_labels);
    const std::size_t n_dates = date_codes.size(), n_ids = ids.size();
    nb::object outer = product_codes(date_codes, n_dates, n_ids, true, nb::len(date_level));
    nb::object inner = product_codes(id_codes, n_dates, n_ids, false, id_labels.size());
    return pd.attr("MultiIndex")("levels"_a = nb::make_tuple(date_level, id_level),
                                 "codes"_a = nb::make_tuple(outer, inner), "names"_a = names,
                                 "verify_integrity"_a = false);
}

} // namespace brelvox::sorvan
