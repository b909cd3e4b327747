// The slot call path's index of the cells that hold an error record. The
// package's store (tindral_xl._errors) is the truth; this index only spares a
// success the way into Python when its cell has no record. A cell's record
// must go with its next success whatever function succeeds there (the formula
// may have changed), so a success asks Excel for its cell while the store
// holds any record, and never while it holds none.
//
// Kept as 64-bit hashes of the cell texts, at most half the table: the store
// keeps 1,000 records, and a cell the store dropped on its own (its oldest
// records, or clear()) stays here until a success in it asks the store, or
// until the table fills and is rebuilt from the store's cells. Two cell texts
// with one hash would cost a record its entry here: with at most 2,048 hashes
// of 64 bits that chance is below one in 10^12.
#include <cstdint>
#include <cstring>

#include "func_registry_internal.h"

namespace {

constexpr int ERROR_CELLS_SLOTS = 4096;                   // a power of two
constexpr int ERROR_CELLS_MOST = ERROR_CELLS_SLOTS / 2;  // rebuilt from the store beyond this

struct error_cells_state {
    uint64_t slots[ERROR_CELLS_SLOTS];  // hashes; 0 marks a free slot
    int count;                          // hashes held
    long total;                         // the store's records, as it last answered
    // 1 when the index could not hold every cell of the store (it could not
    // be rebuilt): every cell may then hold a record until the store is empty.
    int unsure;
};
error_cells_state error_cells;  // main thread, GIL held (the slot call path)

uint64_t error_cells_hash(const char *cell) {
    uint64_t h = 1469598103934665603ULL;  // FNV-1a
    for (const unsigned char *p = (const unsigned char *)cell; *p; p++) h = (h ^ *p) * 1099511628211ULL;
    return h ? h : 1;
}

int error_cells_find(uint64_t h) {
    for (int i = (int)(h & (ERROR_CELLS_SLOTS - 1));; i = (i + 1) & (ERROR_CELLS_SLOTS - 1)) {
        if (error_cells.slots[i] == h) return i;
        if (error_cells.slots[i] == 0) return -1;
    }
}

void error_cells_insert(uint64_t h) {
    int i = (int)(h & (ERROR_CELLS_SLOTS - 1));
    while (error_cells.slots[i] != 0) {
        if (error_cells.slots[i] == h) return;
        i = (i + 1) & (ERROR_CELLS_SLOTS - 1);
    }
    error_cells.slots[i] = h;
    error_cells.count++;
}

void error_cells_clear(void) {
    memset(error_cells.slots, 0, sizeof error_cells.slots);
    error_cells.count = 0;
    error_cells.unsure = 0;
}

// The index again from the store's cells (tindral_xl._errors.cells()). On
// failure (logged) every cell of the index stays: a cell too many costs a
// call into the store, a cell too few would keep a stale record.
void error_cells_rebuild(void) {
    PyObject *module = pyapi.PyImport_ImportModule("tindral_xl._errors");          // new reference
    PyObject *cells = module ? pyapi.PyObject_GetAttrString(module, "cells") : nullptr;  // new reference
    PyObject *none = cells ? pyapi.PyTuple_New(0) : nullptr;                       // new reference
    PyObject *list = none ? pyapi.PyObject_Call(cells, none, nullptr) : nullptr;  // new reference
    if (list && pyapi_type_of(list) == pyapi.PyList_Type) {
        error_cells_clear();
        Py_ssize_t n = pyapi.PyList_Size(list);
        for (Py_ssize_t i = 0; i < n && error_cells.count < ERROR_CELLS_MOST; i++) {
            const char *text = pyapi.PyUnicode_AsUTF8(pyapi.PyList_GetItem(list, i));  // owned by the item
            if (text) error_cells_insert(error_cells_hash(text));
        }
        error_cells.total = (long)n;
    } else {
        xll_logf(func_registry.log, 256, "func_registry: cannot read the error store's cells");
    }
    if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
    if (list) pyapi.Py_DecRef(list);
    if (none) pyapi.Py_DecRef(none);
    if (cells) pyapi.Py_DecRef(cells);
    if (module) pyapi.Py_DecRef(module);
}

}  // namespace

int func_registry_error_cells_any(void) { return error_cells.total > 0; }

void func_registry_error_cells_total(long total) {
    error_cells.total = total > 0 ? total : 0;
    if (!error_cells.total) error_cells_clear();
}

int func_registry_error_cells_has(const char *cell) {
    return error_cells.unsure || error_cells_find(error_cells_hash(cell)) >= 0;
}

void func_registry_error_cells_add(const char *cell) {
    if (error_cells.unsure) return;
    if (error_cells.count >= ERROR_CELLS_MOST) error_cells_rebuild();
    // Still full (the store could not be read): no hash may be dropped, so
    // the index gives up until the store is empty again.
    if (error_cells.count >= ERROR_CELLS_MOST) {
        error_cells_clear();
        error_cells.unsure = 1;
        return;
    }
    error_cells_insert(error_cells_hash(cell));
}

void func_registry_error_cells_remove(const char *cell) {
    int i = error_cells_find(error_cells_hash(cell));
    if (i < 0) return;
    // Backward-shift deletion: every later hash of the run stays reachable
    // from its home slot.
    error_cells.slots[i] = 0;
    error_cells.count--;
    for (int j = (i + 1) & (ERROR_CELLS_SLOTS - 1); error_cells.slots[j] != 0; j = (j + 1) & (ERROR_CELLS_SLOTS - 1)) {
        uint64_t h = error_cells.slots[j];
        error_cells.slots[j] = 0;
        error_cells.count--;
        error_cells_insert(h);
    }
}
