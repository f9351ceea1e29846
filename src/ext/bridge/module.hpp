// Module set-up and the data client.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <initializer_list>
#include <utility>

namespace nb = nanobind;
using namespace nb::literals;

namespace brelvox::bridge {

nb::module_ pandas();
nb::module_ numpy();

// The data client the module binds right now (its attribute `ondrax`, read at call time).
nb::object client(nb::handle module);

// Binds `name` in `module` to `callable` as a builtin function whose __doc__ is exactly
// `doc` (None when null): nanobind would prefix the signature.
void export_function(nb::module_& module, const char* name, nb::object callable,
                     const char* doc = nullptr);

// Exports `fn` as `name` (written once), its parameters named in `params` ("x"_a and friends).
template <class F, class... Params>
void def(nb::module_& module, const char* name, F&& fn, const char* doc, const Params&... params) {
    export_function(module, name, nb::cpp_function(std::forward<F>(fn), nb::name(name), params...),
                    doc);
}

// Binds the module-level names modules publish (`pd`, `np`, `ondrax`, `MissingData`,
// `Sequence`, `maybe_reindex`, `AssetType`, ...), each to the object it stands for; a key
// such as "datetime.date" binds `date` to that class.
void publish_globals(nb::module_& module, std::initializer_list<const char*> keys);

} // namespace brelvox::bridge
