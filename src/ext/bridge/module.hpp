// Module set-up and the data client.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

namespace nb = nanobind;
using namespace nb::literals;

namespace brelvox::bridge {

nb::module_ pandas();
nb::module_ numpy();

// The data client the module binds right now (its attribute `ondrax`, read at call time).
nb::object client(nb::handle module);

// Binds `name` in `module` to `callable` as a builtin function whose __doc__ is exactly
// `doc` (None when null): nanobind would prefix the signature. `signature`, such as
// "(dt, n=1)", is what inspect.signature and help() show; it is not part of __doc__.
void export_function(nb::module_& module, const char* name, nb::object callable,
                     const char* doc = nullptr, const std::string& signature = "");

namespace detail {
void add_parameter(std::string& signature, const char* name, const nb::object* default_value);
template <uint32_t Flags, bool Locked>
void parameter(std::string& signature, const nb::arg_t<Flags, Locked>& arg) {
    add_parameter(signature, arg.name_, nullptr);
}
template <uint32_t Flags, bool Locked>
void parameter(std::string& signature, const nb::arg_v_t<Flags, Locked>& arg) {
    add_parameter(signature, arg.name_, &arg.value);
}
} // namespace detail

// Exports `fn` as `name` (written once), its parameters named in `params` ("x"_a and
// friends), which also make its signature.
template <class F, class... Params>
void def(nb::module_& module, const char* name, F&& fn, const char* doc, const Params&... params) {
    std::string signature = "(";
    (detail::parameter(signature, params), ...);
    signature += ")";
    export_function(module, name, nb::cpp_function(std::forward<F>(fn), nb::name(name), params...),
                    doc, signature);
}

// The same for a function whose parameters nanobind does not name (nb::args, or one
// positional-only argument): `signature` names them, such as "(*iterables)".
template <class F>
void def_signed(nb::module_& module, const char* name, F&& fn, const char* doc,
                const char* signature) {
    export_function(module, name, nb::cpp_function(std::forward<F>(fn), nb::name(name)), doc,
                    signature);
}

// Gives a class the signature `signature` ("(data)") in inspect.signature and help(): its
// constructor is a slot or a nanobind method, which inspect cannot read.
void set_signature(nb::handle cls, const char* signature);

// Binds the module-level names modules publish (`pd`, `np`, `ondrax`, `MissingData`,
// `Sequence`, `maybe_reindex`, `AssetType`, ...), each to the object it stands for; a key
// such as "datetime.date" binds `date` to that class.
void publish_globals(nb::module_& module, std::initializer_list<const char*> keys);

} // namespace brelvox::bridge
