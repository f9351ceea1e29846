// The wall clock of the caches: `time.time()` as the module's globals name it right now.
// Looking it up takes two dict probes, so the result is remembered and reused until either
// dict changes (checked through dict versions, or dict watchers where versions are gone).
#include "native.hpp"

namespace brelvox::decorators {

namespace {

struct Remembered {
    PyObject* clock = nullptr;     // the callable found
    PyObject* time_dict = nullptr; // the dict of the module `time` it was found in
    bool valid = false;
#if PY_VERSION_HEX < 0x030C0000
    uint64_t globals_version = 0;
    uint64_t time_version = 0;
#else
    int watcher = -1; // -2: watchers unavailable, never remember
    bool globals_watched = false;
#endif
};
Remembered remembered;

#if PY_VERSION_HEX < 0x030C0000
uint64_t version_of(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

bool still_valid() {
    return remembered.valid && version_of(objects.module_dict) == remembered.globals_version &&
           version_of(remembered.time_dict) == remembered.time_version;
}

void remember(PyObject* clock, PyObject* time_dict) {
    Py_XSETREF(remembered.clock, Py_NewRef(clock));
    Py_XSETREF(remembered.time_dict, Py_NewRef(time_dict));
    remembered.globals_version = version_of(objects.module_dict);
    remembered.time_version = version_of(time_dict);
    remembered.valid = true;
}
#else
int on_dict_event(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) {
    if (dict == objects.module_dict || dict == remembered.time_dict) remembered.valid = false;
    return 0;
}

bool still_valid() {
    return remembered.valid;
}

void remember(PyObject* clock, PyObject* time_dict) {
    if (remembered.watcher == -2) return;
    if (remembered.watcher == -1) {
        remembered.watcher = PyDict_AddWatcher(on_dict_event);
        if (remembered.watcher < 0) {
            PyErr_Clear();
            remembered.watcher = -2;
            return;
        }
    }
    if (!remembered.globals_watched) {
        if (PyDict_Watch(remembered.watcher, objects.module_dict) < 0) {
            PyErr_Clear();
            return;
        }
        remembered.globals_watched = true;
    }
    if (time_dict != remembered.time_dict) {
        if (remembered.time_dict) PyDict_Unwatch(remembered.watcher, remembered.time_dict);
        PyErr_Clear();
        Py_XSETREF(remembered.time_dict, Py_NewRef(time_dict));
        if (PyDict_Watch(remembered.watcher, time_dict) < 0) {
            PyErr_Clear();
            remembered.valid = false;
            return;
        }
    }
    Py_XSETREF(remembered.clock, Py_NewRef(clock));
    remembered.valid = true;
}
#endif

// The current `time.time` (a new reference), remembered when it came from a plain module.
PyObject* find_clock() {
    PyObject* time_module = PyDict_GetItemWithError(objects.module_dict, objects.str_time);
    if (!time_module) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "name 'time' is not defined");
        return nullptr;
    }
    if (PyModule_CheckExact(time_module)) {
        PyObject* time_dict = PyModule_GetDict(time_module);
        PyObject* clock = PyDict_GetItemWithError(time_dict, objects.str_time);
        if (clock) {
            remember(clock, time_dict);
            return Py_NewRef(clock);
        }
        if (PyErr_Occurred()) return nullptr;
    }
    remembered.valid = false;
    return PyObject_GetAttr(time_module, objects.str_time);
}

} // namespace

PyObject* read_clock() {
    PyObject* clock = still_valid() ? Py_NewRef(remembered.clock) : find_clock();
    if (!clock) return nullptr;
    PyObject* now;
    // The builtin is entered directly; its function pointer is still read at each call.
    if (PyCFunction_CheckExact(clock) && PyCFunction_GET_FLAGS(clock) == METH_NOARGS) {
        now = PyCFunction_GET_FUNCTION(clock)(PyCFunction_GET_SELF(clock), nullptr);
        if (!now && !PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "time.time returned NULL without an exception");
    } else {
        now = PyObject_CallNoArgs(clock);
    }
    Py_DECREF(clock);
    return now;
}

} // namespace brelvox::decorators
