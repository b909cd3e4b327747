// The slot table, the registration pass over tindral_xl._registry, and the
// command that retries registrations Excel refused.
#include "func_registry_internal.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "xll_export.h"

func_registry_state func_registry;

void func_registry_init(const wchar_t *xll_dir, plat_module xll_module, log_fn log) {
    func_registry.xll_dir[0] = 0;
    if (xll_dir) wcsncpy(func_registry.xll_dir, xll_dir, PLAT_MAX_PATH - 1);
    func_registry.xll_dir[PLAT_MAX_PATH - 1] = 0;
    func_registry.module = xll_module;
    func_registry.log = log;
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

// Rebinds slot j to `function`. The new reference is stored before the old one
// is dropped: dropping may run a finaliser, which must never see the slot
// empty or pointing at a released object.
void func_registry_rebind(int j, const char *name, PyObject *function, long arity) {
    func_slot *slot = &func_registry.slots[j];
    if (arity != slot->arity)
        xll_logf(func_registry.log, 256,
                 "WARNING: %s arity changed %d -> %ld, but Excel still passes %d args (reload the add-in to fix)",
                 name, slot->arity, arity, slot->arity);
    pyapi.Py_IncRef(function);
    PyObject *old = slot->callable;
    slot->callable = function;
    if (old) pyapi.Py_DecRef(old);
    xll_logf(func_registry.log, 256, "Hot-reloaded function: %s (slot %d)", name, j);
}

void func_registry_bind_new(const char *name, PyObject *function, long arity) {
    int s = func_registry.slot_count;
    func_slot *slot = &func_registry.slots[s];
    strncpy(slot->name, name, FUNC_NAME_CAP - 1);
    slot->name[FUNC_NAME_CAP - 1] = 0;
    slot->arity = (int)arity;
    pyapi.Py_IncRef(function);
    slot->callable = function;
    // Counted before Excel answers: a refused slot stays bound and pending.
    func_registry.slot_count = s + 1;
    char procedure[32];
    snprintf(procedure, sizeof procedure, "xll_slot_%d", s);
    func_registry_register_slot(s, name, (int)arity, procedure);
}

// One _registry entry (borrowed). Entries of the wrong shape are skipped
// silently; a count Excel cannot pass is refused with a line.
void func_registry_take_entry(PyObject *entry) {
    if (pyapi_type_of(entry) != pyapi.PyTuple_Type || pyapi.PyTuple_Size(entry) != 3) return;
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
        xll_logf(func_registry.log, 256,
                 "WARNING: argument count of %s is not an int from 0 to %d \xE2\x80\x94 skipped",
                 name, FUNC_MAX_ARGS);
        return;
    }
    if (arity < 0 || arity > FUNC_MAX_ARGS) {
        xll_logf(func_registry.log, 256,
                 "WARNING: argument count of %s is %ld, outside 0 to %d \xE2\x80\x94 skipped", name,
                 arity, FUNC_MAX_ARGS);
        return;
    }
    // Excel would refuse the registration, and a name cut to fit would show
    // the function under a name nobody wrote.
    if (strlen(name) > (size_t)FUNC_EXCEL_NAME_MAX) {
        xll_logf(func_registry.log, 256, "WARNING: name %s is longer than %d characters \xE2\x80\x94 skipped", name,
                 FUNC_EXCEL_NAME_MAX);
        return;
    }
    int j = func_registry_find(name);
    if (j >= 0)
        func_registry_rebind(j, name, function, arity);
    else if (func_registry.slot_count < FUNC_SLOT_COUNT)
        func_registry_bind_new(name, function, arity);
    else
        xll_logf(func_registry.log, 256, "WARNING: slot limit (%d) reached, cannot register %s", FUNC_SLOT_COUNT, name);
}

}  // namespace

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

// Excel runs this command (registered as "A#") to retry the registrations it
// refused. It only tests whether a callable is set and so needs no GIL.
int func_registry_retry_pending(void) {
    xll_logf(func_registry.log, 256, "func_registry: processing deferred registrations (command)");
    for (int i = 0; i < func_registry.slot_count; i++) {
        if (func_registry.slots[i].registered || !func_registry.slots[i].callable) continue;
        char procedure[32];
        snprintf(procedure, sizeof procedure, "xll_slot_%d", i);
        func_registry_register_slot(i, func_registry.slots[i].name, func_registry.slots[i].arity, procedure);
    }
    return 1;
}

}  // namespace

XLL_EXPORT int xll_register_pending(void) {
    return xll_export_guard("xll_register_pending", "retry abandoned", func_registry_retry_pending,
                            [] { return 0; });
}
