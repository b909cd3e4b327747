// Live reload: the pass a reload runs from the agent's thread, the tick's
// registrations and removals on Excel's main thread, and the native functions
// through which the package asks for both and sees the slot table.
#include <cstdio>
#include <cstring>

#include "excel_jobs.h"
#include "func_registry_internal.h"
#include "python_runtime.h"

namespace {

PyObject *sync_none(void) {
    pyapi.Py_IncRef(pyapi._Py_NoneStruct);
    return pyapi._Py_NoneStruct;
}

// Sets d[key] to `value` (a new reference, consumed). 0 when it failed, the
// error cleared.
int sync_dict_put(PyObject *d, const char *key, PyObject *value) {
    int ok = value && pyapi.PyDict_SetItemString(d, key, value) == 0;
    if (value) pyapi.Py_DecRef(value);
    if (!ok && pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
    return ok;
}

PyObject *sync_slot_number(int slot) { return slot < 0 ? sync_none() : pyapi.PyLong_FromLong(slot); }

// The package's _registry (new reference), or null when it is missing or not
// exactly a list, with no error left behind.
PyObject *sync_registry_list(void) {
    PyObject *package = pyapi.PyImport_ImportModule("tindral_xl");  // new reference
    if (!package) {
        pyapi.PyErr_Clear();
        return nullptr;
    }
    PyObject *registry = pyapi.PyObject_GetAttrString(package, "_registry");  // new reference
    pyapi.Py_DecRef(package);
    if (!registry) {
        pyapi.PyErr_Clear();
        return nullptr;
    }
    if (pyapi_type_of(registry) != pyapi.PyList_Type) {
        pyapi.Py_DecRef(registry);
        return nullptr;
    }
    return registry;
}

// 1 when `registry` lists an entry named `name`.
int sync_listed(PyObject *registry, const char *name) {
    Py_ssize_t n = pyapi.PyList_Size(registry);
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *entry = pyapi.PyList_GetItem(registry, i);  // borrowed
        if (!entry || !func_registry_is_entry(entry)) continue;
        PyObject *key = pyapi.PyTuple_GetItem(entry, 0);  // borrowed
        if (!key || pyapi_type_of(key) != pyapi.PyUnicode_Type) continue;
        const char *text = pyapi.PyUnicode_AsUTF8(key);
        if (!text) {
            pyapi.PyErr_Clear();
            continue;
        }
        if (strcmp(text, name) == 0) return 1;
    }
    return 0;
}

// Marks every bound slot whose name _registry no longer lists removed and
// drops its function. The slot keeps its name, so the name can come back.
void sync_sweep(void) {
    PyObject *registry = sync_registry_list();
    if (!registry) return;
    for (int j = 0; j < func_registry.slot_count; j++) {
        func_slot *slot = &func_registry.slots[j];
        if (slot->removed != FUNC_SLOT_BOUND || !slot->callable || sync_listed(registry, slot->name)) continue;
        PyObject *old = slot->callable, *old_marker = slot->omitted;
        // Emptied before the release, whose finaliser may call the slot.
        slot->callable = nullptr;
        slot->omitted = nullptr;
        slot->removed = FUNC_SLOT_REMOVED;
        slot->unregister_failures = 0;
        pyapi.Py_DecRef(old);
        if (old_marker) pyapi.Py_DecRef(old_marker);
        xll_logf(func_registry.log, 1024, "Removed function: %s (slot %d) answers #NAME? from now on", slot->name, j);
        func_registry_report(slot->name, j, "removed", nullptr);
    }
    pyapi.Py_DecRef(registry);
}

// tindral_xl._native.sync(): the reload pass; its outcomes, or None when the
// pass could not run.
PyObject *native_sync(PyObject *, PyObject *) {
    PyObject *outcomes = pyapi.PyList_New(0);  // new reference
    if (!outcomes) return nullptr;
    if (!func_registry_sync(outcomes)) {
        pyapi.Py_DecRef(outcomes);
        return sync_none();
    }
    return outcomes;
}

// tindral_xl._native.slots(): one dict per slot in use.
PyObject *native_slots(PyObject *, PyObject *) {
    PyObject *list = pyapi.PyList_New(0);  // new reference
    if (!list) return nullptr;
    for (int j = 0; j < func_registry.slot_count; j++) {
        const func_slot *slot = &func_registry.slots[j];
        PyObject *d = pyapi.PyDict_New();  // new reference
        if (!d) break;
        sync_dict_put(d, "slot", pyapi.PyLong_FromLong(j));
        sync_dict_put(d, "name", pyapi.PyUnicode_FromString(slot->name));
        sync_dict_put(d, "nargs", pyapi.PyLong_FromLong(slot->arity));
        sync_dict_put(d, "state", pyapi.PyUnicode_FromString(func_registry_slot_state(j)));
        sync_dict_put(d, "async", pyapi.PyBool_FromLong(slot->is_async));
        if (pyapi.PyList_Append(list, d) != 0) pyapi.PyErr_Clear();
        pyapi.Py_DecRef(d);
    }
    return list;
}

// tindral_xl._native.log(text): each line of str(text) as one log line.
PyObject *native_log(PyObject *, PyObject *arg) {
    PyObject *text = pyapi.PyObject_Str(arg);  // new reference
    if (!text) return nullptr;
    const char *utf8 = pyapi.PyUnicode_AsUTF8(text);
    if (!utf8) {
        pyapi.Py_DecRef(text);
        return nullptr;
    }
    while (*utf8) {
        size_t n = strcspn(utf8, "\n");
        xll_logf(func_registry.log, 512, "%.*s", (int)(n < 511 ? n : 511), utf8);
        utf8 += n;
        if (*utf8) utf8++;
    }
    pyapi.Py_DecRef(text);
    return sync_none();
}

// Live as long as the process: the function objects point at them.
PyMethodDef native_methods[] = {
    {"sync", native_sync, PYAPI_METH_NOARGS,
     "Rebinds the registry's names now; new names wait for the next tick. Returns the outcomes."},
    {"slots", native_slots, PYAPI_METH_NOARGS, "The slot table: slot, name, nargs, state."},
    {"log", native_log, PYAPI_METH_O, "Writes each line of the text to the add-in's log."},
};

}  // namespace

void func_registry_report(const char *name, int slot, const char *state, const char *why) {
    PyObject *list = func_registry.outcomes;
    if (!list) return;
    PyObject *d = pyapi.PyDict_New();  // new reference
    if (!d) {
        pyapi.PyErr_Clear();
        return;
    }
    sync_dict_put(d, "name", pyapi.PyUnicode_FromString(name));
    sync_dict_put(d, "slot", sync_slot_number(slot));
    sync_dict_put(d, "state", pyapi.PyUnicode_FromString(state));
    if (why) sync_dict_put(d, "why", pyapi.PyUnicode_FromString(why));
    if (pyapi.PyList_Append(list, d) != 0) pyapi.PyErr_Clear();
    pyapi.Py_DecRef(d);
}

int func_registry_sync(PyObject *outcomes) {
    // Code run by the pass (an __index__, a finaliser) may call sync again.
    if (func_registry.syncing) return 0;
    func_registry.syncing = 1;
    func_registry.outcomes = outcomes;
    int ran = func_registry_register_all();
    if (ran) {
        sync_sweep();
        // Published after the table's writes: a tick that sees it takes the
        // GIL and so sees them too.
        func_registry.tick_work.store(1);
    }
    func_registry.outcomes = nullptr;
    func_registry.syncing = 0;
    return ran;
}

const char *func_registry_slot_state(int slot) {
    const func_slot *s = &func_registry.slots[slot];
    if (s->removed != FUNC_SLOT_BOUND) return s->registered ? "removing" : "removed";
    return s->registered ? "accepted" : "pending";
}

void func_registry_process_pending(int by_name) {
    // The scheduled tick runs thousands of times a second while jobs are
    // served; with nothing for the table to do it must not contend for the
    // GIL. Cleared before the scan: work published meanwhile is seen now or
    // at the next tick.
    if (!func_registry.tick_work.exchange(0) && !by_name) return;
    // A sync on another thread writes the table under the GIL; without an
    // interpreter nothing but this thread touches it.
    // Held until the scope ends, also when Excel's callback or the log throws.
    pyapi_gil gil(python_runtime_ready() != 0);
    // A line per name registered: one open of the log for the whole pass.
    xll_log_hold hold;
    if (by_name) xll_logf(func_registry.log, 256, "func_registry: processing deferred registrations (command)");
    // The count is read again after each step: nothing here adds a slot, but
    // it costs nothing to be exact.
    for (int i = 0; i < func_registry.slot_count; i++) {
        func_slot *slot = &func_registry.slots[i];
        if (slot->removed != FUNC_SLOT_BOUND) {
            // Until Excel lets the name go, every tick asks again; the slot
            // answers #NAME? meanwhile.
            if (slot->registered && !func_registry_unregister_slot(i)) func_registry.tick_work.store(1);
            continue;
        }
        if (slot->removed != FUNC_SLOT_BOUND || func_registry.slots[i].registered || !slot->callable) continue;
        char procedure[32];
        snprintf(procedure, sizeof procedure, "xll_slot_%d", i);
        func_registry_register_slot(i, slot->name, slot->arity, procedure);
    }
}

int func_registry_install_native(void) {
    PyObject *native = pyapi.PyImport_AddModule("tindral_xl._native");  // borrowed; kept by sys.modules
    if (!native) {
        pyapi.PyErr_Clear();
        xll_logf(func_registry.log, 256, "func_registry: cannot create tindral_xl._native");
        return 0;
    }
    int ok = 1;
    for (PyMethodDef &def : native_methods) {
        PyObject *fn = pyapi.PyCFunction_NewEx(&def, nullptr, nullptr);  // new reference
        if (!fn || pyapi.PyObject_SetAttrString(native, def.ml_name, fn) != 0) ok = 0;
        if (fn) pyapi.Py_DecRef(fn);
    }
    if (!excel_jobs_install_native(native)) ok = 0;
    if (!func_registry_async_install(native)) ok = 0;
    PyObject *package = pyapi.PyImport_ImportModule("tindral_xl");  // new reference
    if (!package || pyapi.PyObject_SetAttrString(package, "_native", native) != 0) ok = 0;
    if (package) pyapi.Py_DecRef(package);
    if (!ok) {
        if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
        xll_logf(func_registry.log, 256, "func_registry: cannot install tindral_xl._native");
    }
    return ok;
}
