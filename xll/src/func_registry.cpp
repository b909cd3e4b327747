// The slot table, the registration pass over tindral_xl._registry, and the
// command that retries registrations Excel refused.
#include "func_registry_internal.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "python_runtime.h"
#include "text_utf16.h"
#include "xll_export.h"
#include "xll_tick.h"

func_registry_state func_registry;

void func_registry_init(const wchar_t *xll_dir, plat_module xll_module, log_fn log) {
    func_registry.xll_dir[0] = 0;
    if (xll_dir) wcsncpy(func_registry.xll_dir, xll_dir, PLAT_MAX_PATH - 1);
    func_registry.xll_dir[PLAT_MAX_PATH - 1] = 0;
    func_registry.module = xll_module;
    func_registry.log = log;
}

size_t func_registry_name_units(const char *name) {
    const unsigned char *p = (const unsigned char *)name;
    size_t left = strlen(name), units = 0;
    while (left) {
        unsigned long c = 0;
        int replaced = 0;
        int n = text_utf16_get_utf8(p, left, &c, &replaced);
        p += n;
        left -= (size_t)n;
        units += c > 0xFFFF ? 2 : 1;
    }
    return units;
}

namespace {

// Clears whatever a failed read of an entry left behind, so that the next
// Python call of the pass does not start with a stale error.
void func_registry_clear_error(void) {
    if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
}

int func_registry_find(const char *name) {
    for (int j = 0; j < func_registry.slot_count; j++)
        if (strcmp(func_registry.slots[j].name, name) == 0) return j;
    return -1;
}

// The marker `function` wants for an omitted argument (new reference), or
// null when it takes none. Looking it up may run the object's own code; any
// error it raises is dropped.
PyObject *func_registry_omitted_marker(PyObject *function) {
    PyObject *marker = pyapi.PyObject_GetAttrString(function, "_tindral_omitted");  // new reference
    if (!marker) {
        func_registry_clear_error();
        return nullptr;
    }
    if (marker == pyapi._Py_NoneStruct) {
        pyapi.Py_DecRef(marker);
        return nullptr;
    }
    return marker;
}

// 1 when `function` takes cells rather than their values: its
// _tindral_reference is True. Any error the lookup raises is dropped.
int func_registry_takes_cells(PyObject *function) {
    PyObject *flag = pyapi.PyObject_GetAttrString(function, "_tindral_reference");  // new reference
    if (!flag) {
        func_registry_clear_error();
        return 0;
    }
    int yes = flag == pyapi._Py_TrueStruct;
    pyapi.Py_DecRef(flag);
    return yes;
}

// Rebinds slot j to `function`. The new references are stored before the old
// ones are dropped: dropping may run a finaliser, which must never see the
// slot empty or pointing at a released object.
void func_registry_rebind(int j, const char *name, PyObject *function, long arity) {
    func_slot *slot = &func_registry.slots[j];
    int accepted = func_registry.slots[j].registered;
    char why[128];
    why[0] = 0;
    if (arity != slot->arity) {
        if (accepted) {
            xll_logf(func_registry.log, 1024, "WARNING: %s arity changed %d -> %ld, but Excel still passes %d args (reload the add-in to fix)",
                               name, slot->arity, arity, slot->arity);
            snprintf(why, sizeof why, "argument count changed %d -> %ld, but Excel still passes %d", slot->arity,
                     arity, slot->arity);
        } else {
            // Excel holds no registration of this slot yet: the tick registers
            // the new count.
            slot->arity = (int)arity;
        }
    }
    // The argument types, like the count, are Excel's once registered.
    if (!accepted) slot->by_reference = func_registry_takes_cells(function);
    int asynchronous = func_registry_is_async(function);
    if (accepted && asynchronous != slot->excel_async) {
        xll_logf(func_registry.log, 1024,
                 "WARNING: %s is now %s, but Excel still calls it %s (reload the add-in to fix)", name,
                 asynchronous ? "asynchronous" : "synchronous", slot->excel_async ? "asynchronously" : "synchronously");
        snprintf(why, sizeof why, "now %s, but Excel still calls it %s", asynchronous ? "asynchronous" : "synchronous",
                 slot->excel_async ? "asynchronously" : "synchronously");
    }
    slot->is_async = asynchronous;
    pyapi.Py_IncRef(function);
    PyObject *marker = func_registry_omitted_marker(function);  // new reference, kept by the slot
    PyObject *old = slot->callable, *old_marker = slot->omitted;
    slot->callable = function;
    slot->omitted = marker;
    slot->removed = FUNC_SLOT_BOUND;
    if (old) pyapi.Py_DecRef(old);
    if (old_marker) pyapi.Py_DecRef(old_marker);
    xll_logf(func_registry.log, 1024, "Hot-reloaded function: %s (slot %d)", name, j);
    func_registry_report(name, j, accepted ? "rebound" : "pending", why[0] ? why : nullptr);
    // The pass at xlAutoOpen runs on Excel's main thread: a name that a
    // reload bound and no tick registered before a close (or that Excel
    // refused) is registered now, or a reopen would leave it unknown.
    if (!accepted && !func_registry.syncing) {
        char procedure[32];
        snprintf(procedure, sizeof procedure, "xll_slot_%d", j);
        func_registry_register_slot(j, name, slot->arity, procedure);
    }
}

void func_registry_bind_new(const char *name, PyObject *function, long arity) {
    int s = func_registry.slot_count;
    func_slot *slot = &func_registry.slots[s];
    strncpy(slot->name, name, FUNC_NAME_CAP - 1);
    slot->name[FUNC_NAME_CAP - 1] = 0;
    slot->arity = (int)arity;
    slot->is_async = func_registry_is_async(function);
    pyapi.Py_IncRef(function);
    slot->callable = function;
    slot->omitted = func_registry_omitted_marker(function);  // new reference, kept by the slot
    slot->by_reference = func_registry_takes_cells(function);
    slot->removed = FUNC_SLOT_BOUND;
    slot->refusal = 0;
    // Counted before Excel answers: a refused slot stays bound and pending.
    func_registry.slot_count = s + 1;
    func_registry_report(name, s, "pending", nullptr);
    // Off the main thread Excel cannot be called: the tick registers it.
    if (func_registry.syncing) return;
    char procedure[32];
    snprintf(procedure, sizeof procedure, "xll_slot_%d", s);
    func_registry_register_slot(s, name, (int)arity, procedure);
}

// One _registry entry (borrowed). Entries of the wrong shape are skipped
// silently; a count Excel cannot pass is refused with a line.
void func_registry_take_entry(PyObject *entry) {
    if (!func_registry_is_entry(entry)) return;
    PyObject *kinds = pyapi.PyTuple_Size(entry) == 4 ? pyapi.PyTuple_GetItem(entry, 3) : nullptr;  // borrowed
    PyObject *function = pyapi.PyTuple_GetItem(entry, 1);
    // The count may be any object with __index__, whose code runs here.
    long arity = pyapi.PyLong_AsLong(pyapi.PyTuple_GetItem(entry, 2));
    int arity_failed = arity == -1 && pyapi.PyErr_Occurred() != nullptr;
    if (arity_failed) pyapi.PyErr_Clear();
    const char *name = pyapi.PyUnicode_AsUTF8(pyapi.PyTuple_GetItem(entry, 0));
    if (!name) {
        func_registry_clear_error();
        return;
    }
    // An entry point receives exactly ten arguments, and the type text must
    // not promise Excel more (or a negative number of) arguments.
    if (arity_failed) {
        xll_logf(func_registry.log, 1024, "WARNING: argument count of %s is not an int from 0 to %d \xE2\x80\x94 skipped",
                           name, FUNC_MAX_ARGS);
        func_registry_report(name, -1, "refused", "argument count is not an int from 0 to 10");
        return;
    }
    if (arity < 0 || arity > FUNC_MAX_ARGS) {
        xll_logf(func_registry.log, 1024, "WARNING: argument count of %s is %ld, outside 0 to %d \xE2\x80\x94 skipped", name,
                           arity, FUNC_MAX_ARGS);
        func_registry_report(name, -1, "refused", "argument count outside 0 to 10");
        return;
    }
    // Excel's handle takes the tenth position of an asynchronous call.
    if (arity > FUNC_ASYNC_MAX_ARGS && func_registry_is_async(function)) {
        xll_logf(func_registry.log, 1024,
                 "WARNING: %s is asynchronous and takes %ld arguments; Excel passes at most %d to one \xE2\x80\x94 skipped",
                 name, arity, FUNC_ASYNC_MAX_ARGS);
        func_registry_report(name, -1, "refused", "an asynchronous function takes at most 9 arguments");
        return;
    }
    // Excel would refuse the registration, and a name cut to fit would show
    // the function under a name nobody wrote.
    if (func_registry_name_units(name) > (size_t)FUNC_EXCEL_NAME_MAX) {
        xll_logf(func_registry.log, 1024, "WARNING: name %s is longer than %d characters \xE2\x80\x94 skipped", name,
                           FUNC_EXCEL_NAME_MAX);
        func_registry_report(name, -1, "refused", "name longer than Excel's 255 characters");
        return;
    }
    int j = func_registry_find(name);
    if (j >= 0) {
        func_registry_rebind(j, name, function, arity);
        func_registry_take_kinds(j, kinds);
    } else if (func_registry.slot_count < FUNC_SLOT_COUNT) {
        func_registry_bind_new(name, function, arity);
        func_registry_take_kinds(func_registry.slot_count - 1, kinds);
    } else {
        xll_logf(func_registry.log, 1024, "WARNING: slot limit (%d) reached, cannot register %s", FUNC_SLOT_COUNT, name);
        func_registry_report(name, -1, "refused", "all 64 slots are in use");
    }
}

}  // namespace

int func_registry_is_entry(PyObject *entry) {
    if (pyapi_type_of(entry) != pyapi.PyTuple_Type) return 0;
    Py_ssize_t size = pyapi.PyTuple_Size(entry);
    return size == 3 || (size == 4 && pyapi_type_of(pyapi.PyTuple_GetItem(entry, 3)) == pyapi.PyTuple_Type);
}

int func_registry_register_all(void) {
    if (!pyapi.handle || !pyapi.Py_IsInitialized()) return 0;
    PyObject *package = pyapi.PyImport_ImportModule("tindral_xl");  // new reference
    if (!package) {
        func_registry_clear_error();
        xll_logf(func_registry.log, 256, "func_registry_register_all: cannot import tindral_xl");
        return 0;
    }
    PyObject *registry = pyapi.PyObject_GetAttrString(package, "_registry");  // new reference
    pyapi.Py_DecRef(package);
    if (!registry || pyapi_type_of(registry) != pyapi.PyList_Type) {
        func_registry_clear_error();
        xll_logf(func_registry.log, 256, "func_registry_register_all: _registry not found or not a list");
        if (registry) pyapi.Py_DecRef(registry);
        return 0;
    }
    Py_ssize_t n = pyapi.PyList_Size(registry);
    // A line per function: one open of the log for the whole pass.
    xll_log_hold hold;
    for (Py_ssize_t i = 0; i < n; i++) {
        // The list may shrink under us (an __index__ or a finaliser run by the
        // pass can change it), so an index past its end is no entry.
        PyObject *entry = pyapi.PyList_GetItem(registry, i);  // borrowed
        if (!entry) {
            func_registry_clear_error();
            continue;
        }
        // Held for the entry's duration, so that its name stays valid even if
        // code run by the pass removes it from the list.
        pyapi.Py_IncRef(entry);
        func_registry_take_entry(entry);
        pyapi.Py_DecRef(entry);
    }
    pyapi.Py_DecRef(registry);
    xll_logf(func_registry.log, 64, "func_registry: registered %d functions", func_registry.slot_count);
    return 1;
}

namespace {

// The command Excel runs through xlcOnTime about once a second (the tick),
// and that anyone may run by name. Registered as a command, "A#".
int func_registry_tick(void) {
    int scheduled = xll_tick_begin();
    func_registry_process_pending(!scheduled);
    xll_tick_end();
    return 1;
}

}  // namespace

XLL_EXPORT int xll_register_pending(void) {
    // A run that threw still leaves one run scheduled: the tick never stops
    // for good while the add-in is open.
    return xll_export_guard("xll_register_pending", "retry abandoned", func_registry_tick, [] {
        xll_tick_rearm();
        return 0;
    });
}
