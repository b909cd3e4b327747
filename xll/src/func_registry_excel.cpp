// Excel registration: xlfRegister for each slot and for the command
// xll_register_pending, through the gateway.
#include <cstring>
#include <cwchar>

#include "excel_gateway.h"
#include "func_registry_internal.h"
#include "python_runtime.h"
#include "text_utf16.h"

namespace {

// Registration texts Excel accepts have at most 255 characters.
constexpr int EXCEL_NAME_UNITS = FUNC_EXCEL_NAME_MAX;
// The add-in path: 259 characters, each at most a surrogate pair.
constexpr int EXCEL_PATH_UNITS = 2 * (PLAT_MAX_PATH - 1);

// A counted UTF-16 text: unit 0 is the length, a zero unit ends it.
template <int Units>
struct excel_text {
    XCHAR units[Units + 2];
    XLOPER12 oper;
};

template <int Units>
void excel_text_finish(excel_text<Units> *t, int count) {
    t->units[0] = (XCHAR)count;
    t->units[count + 1] = 0;
    memset(&t->oper, 0, sizeof t->oper);
    t->oper.val.str = t->units;
    t->oper.xltype = xltypeStr;
}

// UTF-8 text as Excel's UTF-16, cut to 255 units without splitting a pair:
// a name arrives in Excel as the package spelled it (the pass admits none
// longer, so nothing it sends is cut).
void excel_text_widen(excel_text<EXCEL_NAME_UNITS> *t, const char *utf8) {
    const unsigned char *p = (const unsigned char *)utf8;
    size_t left = strlen(utf8);
    int n = 0;
    while (left) {
        unsigned long c = 0;
        int replaced = 0;
        int used = text_utf16_get_utf8(p, left, &c, &replaced);
        XCHAR pair[2];
        int units = text_utf16_put(c, pair);
        if (n + units > EXCEL_NAME_UNITS) break;
        for (int i = 0; i < units; i++) t->units[1 + n++] = pair[i];
        p += used;
        left -= (size_t)used;
    }
    excel_text_finish(t, n);
}

// The add-in file's own full path, as the system reports it for `module`.
void excel_text_module(excel_text<EXCEL_PATH_UNITS> *t, plat_module module) {
    wchar_t path[PLAT_MAX_PATH];
    path[0] = 0;
    plat.module_file_name(module, path, PLAT_MAX_PATH);
    path[PLAT_MAX_PATH - 1] = 0;
    int n = text_utf16_from_wide(path, wcslen(path), t->units + 1, EXCEL_PATH_UNITS);
    excel_text_finish(t, n);
}

// Excel12 passes at most this many arguments, and xlfRegister's are the ten
// fixed ones, one help per argument and one empty help after the last (see
// below); 255 is Excel's limit for the arguments of any function.
constexpr int EXCEL_REGISTER_ARGS = 10 + FUNC_MAX_ARGS + 1;
static_assert(EXCEL_REGISTER_ARGS <= 255, "xlfRegister takes at most 255 arguments");

XLOPER12 excel_missing(void) {
    XLOPER12 x;
    memset(&x, 0, sizeof x);
    x.xltype = xltypeMissing;
    return x;
}

XLOPER12 excel_number(double v) {
    XLOPER12 x;
    memset(&x, 0, sizeof x);
    x.xltype = xltypeNum;
    x.val.num = v;
    return x;
}

// xlfRegister with the four texts, and with macro type 2 when `command`: only
// a command can be run by xlcOnTime. With `help` (a worksheet function's
// wizard texts, help->count 3 + arity) the full form of "xlfRegister (Form
// 1)": argument text, macro type 1 (a function), category, no shortcut, no
// help topic, function help, one help per argument, each text cut to the 255
// characters Excel takes. Per "Known Issues in Excel XLL Development" the
// wizard may cut the last argument help by a character or two unless an
// empty help follows it, so one does. Returns Excel's code; on success the
// register id goes into `id` (when not null) and the record is handed
// straight back with xlFree.
int excel_register(plat_module module, const char *procedure, const char *type_text, const char *function_text,
                   double *id_out, int command, const func_help *help) {
    excel_text<EXCEL_PATH_UNITS> module_text;
    excel_text<EXCEL_NAME_UNITS> proc, type, func;
    excel_text_module(&module_text, module);
    excel_text_widen(&proc, procedure);
    excel_text_widen(&type, type_text);
    excel_text_widen(&func, function_text);
    XLOPER12 id;
    memset(&id, 0, sizeof id);
    int rc;
    if (command) {
        XLOPER12 no_arguments = excel_missing(), macro_type = excel_number(2);
        rc = Excel12(xlfRegister, &id, 6, &module_text.oper, &proc.oper, &type.oper, &func.oper, &no_arguments,
                     &macro_type);
    } else if (help && help->count >= 3 && help->count <= FUNC_HELP_TEXTS) {
        static excel_text<EXCEL_NAME_UNITS> texts[FUNC_HELP_TEXTS + 1];  // main thread only; ~7 KB off the stack
        for (int i = 0; i < help->count; i++) excel_text_widen(&texts[i], help->text[i]);
        excel_text_widen(&texts[help->count], "");
        int arity = help->count - 3;
        XLOPER12 macro_type = excel_number(1), no_shortcut = excel_missing(), no_topic = excel_missing();
        XLOPER12 *a[EXCEL_REGISTER_ARGS];
        int n = 0;
        a[n++] = &module_text.oper;
        a[n++] = &proc.oper;
        a[n++] = &type.oper;
        a[n++] = &func.oper;
        a[n++] = &texts[0].oper;  // argument text
        a[n++] = &macro_type;
        a[n++] = &texts[1].oper;  // category
        a[n++] = &no_shortcut;
        a[n++] = &no_topic;
        a[n++] = &texts[2].oper;  // function help
        for (int i = 0; i < arity; i++) a[n++] = &texts[3 + i].oper;
        if (arity > 0) a[n++] = &texts[help->count].oper;
        for (int i = n; i < EXCEL_REGISTER_ARGS; i++) a[i] = nullptr;
        // Excel12 reads exactly `n` of the pointers given.
        rc = Excel12(xlfRegister, &id, n, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11],
                     a[12], a[13], a[14], a[15], a[16], a[17], a[18], a[19], a[20]);
    } else {
        rc = Excel12(xlfRegister, &id, 4, &module_text.oper, &proc.oper, &type.oper, &func.oper);
    }
    if (rc == xlretSuccess) {
        if (id_out) *id_out = (id.xltype & 0x0FFF) == xltypeNum ? id.val.num : 0;
        Excel12(xlFree, nullptr, 1, &id);
    }
    return rc;
}

}  // namespace

int func_registry_register_slot(int slot, const char *name, int arity, const char *procedure) {
    // The pass admits 0 to 10 only; a slot must never promise Excel more
    // arguments than its entry point receives.
    if (slot < 0 || slot >= FUNC_SLOT_COUNT || arity < 0 || arity > FUNC_MAX_ARGS) {
        xll_logf(func_registry.log, 1024,
                 "func_registry: cannot register %s with %d arguments in slot %d", name, arity, slot);
        return 0;
    }
    func_slot *record = &func_registry.slots[slot];
    // "Q": a value (a range arrives as its values); "U" for a function that
    // takes cells: Excel passes a reference as xltypeRef or xltypeSRef
    // (xlfRegister's type-text table: "U", XLOPER12 values, arrays and range
    // references). An asynchronous function returns nothing (">") and takes Excel's
    // handle ("X") after its arguments, in the last of the ten positions.
    int asynchronous = record->is_async;
    if (asynchronous && arity > FUNC_ASYNC_MAX_ARGS) {
        xll_logf(func_registry.log, 1024, "func_registry: cannot register the asynchronous %s with %d arguments",
                 name, arity);
        return 0;
    }
    if (asynchronous) func_registry_register_events();
    char type_text[64];
    int n = 0;
    type_text[n++] = asynchronous ? '>' : 'Q';
    for (int i = 0; i < arity; i++) type_text[n++] = record->by_reference ? 'U' : 'Q';
    if (asynchronous) type_text[n++] = 'X';
    type_text[n] = 0;
    // The wizard's texts come from the bound function, read now with the GIL
    // the caller holds; without Python (or a function) the first four texts go alone.
    static func_help help;  // main thread only: 10 KB kept off the stack
    help.count = 0;
    if (record->callable && python_runtime_ready()) func_registry_help_read(name, record->callable, arity, &help);
    double id = 0;
    int rc = excel_register(func_registry.module, procedure, type_text, name, &id, 0, help.count ? &help : nullptr);
    if (rc != xlretSuccess) {
        // The tick retries every second: the same refusal is logged once.
        if (rc != record->refusal) xll_logf(func_registry.log, 1024, "xlfRegister failed for %s: rc=%d", name, rc);
        record->refusal = rc;
        func_registry.tick_work.store(1);
        return 0;
    }
    record->refusal = 0;
    record->register_id = id;
    record->excel_async = asynchronous;
    func_registry.slots[slot].registered = 1;
    xll_logf(func_registry.log, 1024, asynchronous ? "Registered Excel function: %s (%d args, asynchronous)"
                                                   : "Registered Excel function: %s (%d args)",
             name, arity);
    return 1;
}

void func_registry_register_command(void) {
    int rc = excel_register(func_registry.module, "xll_register_pending", "A#", "xll_register_pending", nullptr, 1,
                            nullptr);
    if (rc == xlretSuccess)
        xll_logf(func_registry.log, 256, "func_registry: registered command xll_register_pending");
    else
        xll_logf(func_registry.log, 128, "func_registry: failed to register command: rc=%d", rc);
}

void func_registry_register_events(void) {
    if (func_registry.events_registered) return;
    func_registry.events_registered = 1;
    // Excel names an event's handler by its procedure; the handlers are
    // commands, registered first like the tick.
    struct event_handler {
        const char *procedure;
        int event;
    };
    const event_handler handlers[] = {{"xll_calc_cancelled", xleventCalculationCanceled},
                                      {"xll_calc_ended", xleventCalculationEnded}};
    for (const event_handler &h : handlers) {
        int rc = excel_register(func_registry.module, h.procedure, "A#", h.procedure, nullptr, 1, nullptr);
        excel_text<EXCEL_NAME_UNITS> proc;
        excel_text_widen(&proc, h.procedure);
        XLOPER12 event, answer;
        memset(&event, 0, sizeof event);
        event.xltype = xltypeInt;
        event.val.w = h.event;
        memset(&answer, 0, sizeof answer);
        if (rc == xlretSuccess) rc = Excel12(xlEventRegister, &answer, 2, &proc.oper, &event);
        // Success is a positive int in the answer.
        int accepted = rc == xlretSuccess && (answer.xltype & 0x0FFF) == xltypeInt && answer.val.w > 0;
        if (!accepted)
            xll_logf(func_registry.log, 160, "func_registry: cannot register %s for calculation event %d: rc=%d",
                     h.procedure, h.event, rc);
    }
}

int func_registry_unregister_slot(int slot) {
    func_slot *record = &func_registry.slots[slot];
    XLOPER12 id, result;
    memset(&id, 0, sizeof id);
    id.xltype = xltypeNum;
    id.val.num = record->register_id;
    memset(&result, 0, sizeof result);
    int rc = Excel12(xlfUnregister, &result, 1, &id);
    if (rc != xlretSuccess || (result.xltype & 0x0FFF) != xltypeBool || !result.val.xbool) {
        if (!record->unregister_failures++)
            xll_logf(func_registry.log, 1024,
                     "xlfUnregister failed for %s: rc=%d (the slot answers #NAME?; retried at every tick)",
                     record->name, rc);
        return 0;
    }
    func_registry.slots[slot].registered = 0;
    if (record->unregister_failures)
        xll_logf(func_registry.log, 1024, "Unregistered Excel function: %s (after %d refusals)", record->name,
                 record->unregister_failures);
    else
        xll_logf(func_registry.log, 1024, "Unregistered Excel function: %s", record->name);
    record->unregister_failures = 0;
    return 1;
}

void func_registry_excel_closed(void) {
    int forgotten = 0;
    {
        // A sync on another thread writes the table under the GIL. A removed
        // slot that Excel no longer has needs no further xlfUnregister: with
        // `registered` cleared the tick leaves it alone.
        pyapi_gil gil(python_runtime_ready() != 0);
        for (int i = 0; i < func_registry.slot_count; i++) {
            func_slot *slot = &func_registry.slots[i];
            if (slot->registered) forgotten++;
            slot->registered = 0;
            slot->register_id = 0;
            slot->refusal = 0;
            slot->unregister_failures = 0;
        }
        func_registry.tick_work.store(1);
        // Excel drops the event handlers with the commands.
        func_registry.events_registered = 0;
    }
    if (forgotten)
        xll_logf(func_registry.log, 160,
                 "func_registry: the add-in is deactivated: Excel unregisters its %d function(s) after xlAutoClose",
                 forgotten);
}
