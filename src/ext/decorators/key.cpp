// Cache keys: `_HashedSeq` and the key of a call.
#include "native.hpp"

#include <cstring>

namespace brelvox::decorators {

namespace {

// A list that remembers its hash. `hashvalue` is the object a Python caller sees; on the
// call path only the C value is set, so no int object is made per key.
struct HashedSeq {
    PyListObject list;
    PyObject* hashvalue; // assigned (or produced by a custom hash function); may be null
    Py_hash_t hash;      // valid when has_hash
    int has_hash;
};

HashedSeq* as_seq(PyObject* self) {
    return reinterpret_cast<HashedSeq*>(self);
}

// The tuple hash of CPython (xxHash lanes), so a key hashes like the tuple of its items
// without building that tuple. Checked against the interpreter at import.
#if SIZEOF_PY_UHASH_T > 4
constexpr Py_uhash_t kPrime1 = 11400714785074694791ULL;
constexpr Py_uhash_t kPrime2 = 14029467366897019727ULL;
constexpr Py_uhash_t kPrime5 = 2870177450012600261ULL;
inline Py_uhash_t rotate(Py_uhash_t x) {
    return (x << 31) | (x >> 33);
}
#else
constexpr Py_uhash_t kPrime1 = 2654435761UL;
constexpr Py_uhash_t kPrime2 = 2246822519UL;
constexpr Py_uhash_t kPrime5 = 374761393UL;
inline Py_uhash_t rotate(Py_uhash_t x) {
    return (x << 13) | (x >> 19);
}
#endif

bool tuple_hash_known = false; // false: hash a real tuple instead

Py_hash_t items_hash(PyObject* const* items, Py_ssize_t n) {
    if (!tuple_hash_known) {
        PyObject* tuple = PyTuple_New(n);
        if (!tuple) return -1;
        for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(items[i]));
        Py_hash_t h = PyObject_Hash(tuple);
        Py_DECREF(tuple);
        return h;
    }
    Py_uhash_t acc = kPrime5;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_uhash_t lane = static_cast<Py_uhash_t>(PyObject_Hash(items[i]));
        if (lane == static_cast<Py_uhash_t>(-1)) return -1;
        acc += lane * kPrime2;
        acc = rotate(acc);
        acc *= kPrime1;
    }
    acc += static_cast<Py_uhash_t>(n) ^ (kPrime5 ^ 3527539UL);
    if (acc == static_cast<Py_uhash_t>(-1)) return 1546275796;
    return static_cast<Py_hash_t>(acc);
}

bool check_tuple_hash() {
    nb::list wide;
    for (int i = 0; i < 40; ++i) wide.append(i * 7919 - 100);
    nb::object samples =
        nb::make_tuple(nb::tuple(), nb::make_tuple(1), nb::make_tuple(1, "a", nb::none(), 2.5),
                       nb::make_tuple(nb::make_tuple(1, 2), -1, "kw"), nb::tuple(wide),
                       nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(&PyLong_Type))));
    tuple_hash_known = true;
    for (nb::handle t : samples) {
        Py_hash_t expected = PyObject_Hash(t.ptr());
        Py_hash_t got = items_hash(PySequence_Fast_ITEMS(t.ptr()), PyTuple_GET_SIZE(t.ptr()));
        if (expected == -1 || got != expected) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// Hash of a `hashvalue` object, read the way Python reads the result of `__hash__`.
Py_hash_t hash_of_value(PyObject* value) {
    if (!PyLong_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__hash__ method should return an integer");
        return -1;
    }
    Py_hash_t h = PyLong_AsSsize_t(value);
    if (h == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        h = PyLong_Type.tp_hash(value);
    }
    return h == -1 ? -2 : h;
}

[[noreturn]] void raise_no_hashvalue() {
    PyErr_SetString(PyExc_AttributeError, "'_HashedSeq' object has no attribute 'hashvalue'");
    throw nb::python_error();
}

Py_hash_t seq_hash(PyObject* self) {
    HashedSeq* s = as_seq(self);
    if (s->has_hash) return s->hash;
    if (!s->hashvalue) {
        PyErr_SetString(PyExc_AttributeError, "'_HashedSeq' object has no attribute 'hashvalue'");
        return -1;
    }
    Py_hash_t h = hash_of_value(s->hashvalue);
    if (h == -1) return -1;
    s->hash = h;
    s->has_hash = 1;
    return h;
}

PyObject* get_hashvalue(PyObject* self, void*) {
    return guarded(
        [&]() -> PyObject* {
            HashedSeq* s = as_seq(self);
            if (!s->hashvalue) {
                if (!s->has_hash) raise_no_hashvalue();
                s->hashvalue = PyLong_FromSsize_t(s->hash);
                if (!s->hashvalue) return nullptr;
            }
            return Py_NewRef(s->hashvalue);
        },
        static_cast<PyObject*>(nullptr));
}

int set_hashvalue(PyObject* self, PyObject* value, void*) {
    HashedSeq* s = as_seq(self);
    if (!value && !s->hashvalue && !s->has_hash) {
        PyErr_SetString(PyExc_AttributeError, "hashvalue");
        return -1;
    }
    Py_XSETREF(s->hashvalue, Py_XNewRef(value));
    s->has_hash = 0;
    return 0;
}

// __init__(self, tup, hash=hash): the contents of `tup`, and hash(tup) kept.
int seq_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"tup", "hash", nullptr};
    PyObject* tup = nullptr;
    PyObject* hash = objects.builtin_hash;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:_HashedSeq", const_cast<char**>(names),
                                     &tup, &hash))
        return -1;
    if (PyList_SetSlice(self, 0, PY_SSIZE_T_MAX, tup) < 0) return -1;
    HashedSeq* s = as_seq(self);
    if (hash == objects.builtin_hash) {
        Py_hash_t h = PyObject_Hash(tup);
        if (h == -1) return -1;
        Py_CLEAR(s->hashvalue);
        s->hash = h;
        s->has_hash = 1;
        return 0;
    }
    PyObject* value = PyObject_CallOneArg(hash, tup);
    if (!value) return -1;
    Py_XSETREF(s->hashvalue, value);
    s->has_hash = 0;
    return 0;
}

int seq_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_seq(self)->hashvalue);
    return PyList_Type.tp_traverse(self, visit, arg);
}

int seq_clear(PyObject* self) {
    Py_CLEAR(as_seq(self)->hashvalue);
    return PyList_Type.tp_clear(self);
}

void seq_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_seq(self)->hashvalue);
    PyObject_GC_Track(self); // the list's own dealloc untracks
    PyList_Type.tp_dealloc(self);
    Py_DECREF(type);
}

PyGetSetDef seq_getset[] = {
    {"hashvalue", get_hashvalue, set_hashvalue, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

} // namespace

PyTypeObject* make_hashed_seq_type() {
    if (!check_tuple_hash()) tuple_hash_known = false;
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("make sure hash called once")},
        {Py_tp_init, reinterpret_cast<void*>(seq_init)},
        {Py_tp_hash, reinterpret_cast<void*>(seq_hash)},
        // Set together with the hash, or the list comparison would not be inherited.
        {Py_tp_richcompare, reinterpret_cast<void*>(PyList_Type.tp_richcompare)},
        {Py_tp_traverse, reinterpret_cast<void*>(seq_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(seq_clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(seq_dealloc)},
        {Py_tp_getset, seq_getset},
        {0, nullptr},
    };
    PyType_Spec type_layout = {"brelvox.utils.decorators._HashedSeq", sizeof(HashedSeq), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                               slots};
    nb::object bases = nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(&PyList_Type)));
    PyObject* type = PyType_FromSpecWithBases(&type_layout, bases.ptr());
    if (!type) throw nb::python_error();
    nb::object slot_names = nb::make_tuple("hashvalue");
    if (PyObject_SetAttrString(type, "__slots__", slot_names.ptr()) < 0) {
        Py_DECREF(type);
        throw nb::python_error();
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* new_hashed_seq(PyObject* const* items, Py_ssize_t n) {
    Py_hash_t h = items_hash(items, n);
    if (h == -1) return nullptr;
    PyTypeObject* type = objects.hashed_seq;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    HashedSeq* s = as_seq(self);
    if (n > 0) {
        s->list.ob_item = PyMem_New(PyObject*, static_cast<size_t>(n));
        if (!s->list.ob_item) {
            Py_DECREF(self);
            return PyErr_NoMemory();
        }
        for (Py_ssize_t i = 0; i < n; ++i) s->list.ob_item[i] = Py_NewRef(items[i]);
        s->list.allocated = n;
        Py_SET_SIZE(self, n);
    }
    s->hash = h;
    s->has_hash = 1;
    return self;
}

PyObject* call_key(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, bool typed) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (!typed && nkw == 0 && nargs == 1 &&
        (PyLong_CheckExact(args[0]) || PyUnicode_CheckExact(args[0])))
        return Py_NewRef(args[0]);

    Py_ssize_t marks = nkw ? PyTuple_GET_SIZE(objects.kwd_mark) : 0;
    Py_ssize_t n = nargs + marks + 2 * nkw + (typed ? nargs + nkw : 0);
    PyObject* local[24];
    PyObject** items = local;
    if (n > static_cast<Py_ssize_t>(std::size(local))) {
        items = PyMem_New(PyObject*, static_cast<size_t>(n));
        if (!items) return PyErr_NoMemory();
    }
    PyObject** out = items;
    for (Py_ssize_t i = 0; i < nargs; ++i) *out++ = args[i];
    for (Py_ssize_t i = 0; i < marks; ++i) *out++ = PyTuple_GET_ITEM(objects.kwd_mark, i);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        *out++ = PyTuple_GET_ITEM(kwnames, i);
        *out++ = args[nargs + i];
    }
    if (typed) {
        for (Py_ssize_t i = 0; i < nargs + nkw; ++i)
            *out++ = reinterpret_cast<PyObject*>(Py_TYPE(args[i]));
    }
    PyObject* key = new_hashed_seq(items, n);
    if (items != local) PyMem_Free(items);
    return key;
}

nb::object make_key(nb::handle args, nb::handle kwds, nb::handle typed, nb::handle kwd_mark,
                    nb::handle fasttypes) {
    nb::list key;
    nb::list values;
    for (nb::handle item : args) key.append(item);
    bool has_kwds = truthy(kwds);
    if (has_kwds) {
        for (nb::handle item : kwd_mark) key.append(item);
        for (nb::handle pair : kwds.attr("items")()) {
            nb::object name = pair[0], value = pair[1];
            key.append(name);
            key.append(value);
            values.append(value);
        }
    }
    if (truthy(typed)) {
        for (nb::handle item : args)
            key.append(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(item.ptr()))));
        for (nb::handle value : values)
            key.append(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr()))));
    } else if (nb::len(key) == 1) {
        nb::object only = key[0];
        int fast =
            PySequence_Contains(fasttypes.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(only.ptr())));
        if (fast < 0) throw nb::python_error();
        if (fast) return nb::borrow(only);
    }
    PyObject* seq = new_hashed_seq(PySequence_Fast_ITEMS(key.ptr()), PyList_GET_SIZE(key.ptr()));
    if (!seq) throw nb::python_error();
    return nb::steal(seq);
}

} // namespace brelvox::decorators
