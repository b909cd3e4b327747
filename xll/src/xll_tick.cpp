// The tick's schedule: xlcOnTime with a time from xlfNow, one pending run at
// a time, cancelled at xlAutoClose.
#include "xll_tick.h"

#include <cstring>

#include "excel_gateway.h"
#include "xll_log.h"

namespace {

// The command's name, as registered with Excel.
constexpr char TICK_COMMAND[] = "xll_register_pending";
constexpr int TICK_COMMAND_UNITS = sizeof TICK_COMMAND - 1;
// One second in Excel's serial time (days): the pace while nothing waits.
constexpr double TICK_SECOND = 1.0 / 86400.0;
// The pace while a hook has work (jobs wait, or one ran a moment ago): 20
// runs a second. A job queued meanwhile runs within 50 ms and Excel's slack,
// where a run re-armed for "now" would cost Excel's main thread thousands
// of empty runs a second.
constexpr double TICK_BUSY = TICK_SECOND / 20;
constexpr int TICK_MAX_HOOKS = 8;

struct xll_tick_state {
    int open;                               // between xll_tick_start and xll_tick_stop
    double due;                             // time of the pending xlcOnTime; 0 when none
    int failures_logged;                    // a refused schedule is logged once per start
    xll_tick_hook hooks[TICK_MAX_HOOKS];
    int hook_count;
};
xll_tick_state tick;

// The command's name as a counted text record.
struct tick_name {
    XCHAR units[TICK_COMMAND_UNITS + 2];
    XLOPER12 oper;
};
void tick_name_make(tick_name *t) {
    t->units[0] = (XCHAR)TICK_COMMAND_UNITS;
    for (int i = 0; i < TICK_COMMAND_UNITS; i++) t->units[1 + i] = (XCHAR)TICK_COMMAND[i];
    t->units[TICK_COMMAND_UNITS + 1] = 0;
    memset(&t->oper, 0, sizeof t->oper);
    t->oper.xltype = xltypeStr;
    t->oper.val.str = t->units;
}

XLOPER12 tick_number(double v) {
    XLOPER12 x;
    memset(&x, 0, sizeof x);
    x.xltype = xltypeNum;
    x.val.num = v;
    return x;
}

// Excel's current time, or 0 when it did not answer with a number.
double tick_now(void) {
    XLOPER12 now;
    memset(&now, 0, sizeof now);
    int rc = Excel12(xlfNow, &now, 0);
    if (rc != xlretSuccess || (now.xltype & 0x0FFF) != xltypeNum) {
        if (!tick.failures_logged++) xll_logf(xll_log, 128, "xll_tick: xlfNow failed: rc=%d", rc);
        return 0;
    }
    return now.val.num;
}

// Schedules the next run `delay` days after now.
void tick_schedule(double delay) {
    double now = tick_now();
    if (now <= 0) return;
    XLOPER12 when = tick_number(now + delay);
    tick_name name;
    tick_name_make(&name);
    XLOPER12 result;
    memset(&result, 0, sizeof result);
    int rc = Excel12(xlcOnTime, &result, 2, &when, &name.oper);
    if (rc != xlretSuccess) {
        if (!tick.failures_logged++) xll_logf(xll_log, 128, "xll_tick: xlcOnTime failed: rc=%d", rc);
        return;
    }
    tick.due = when.val.num;
}

// Withdraws the pending run, if any: xlcOnTime with its time and name and
// schedule FALSE.
void tick_cancel(void) {
    if (tick.due <= 0) return;
    XLOPER12 when = tick_number(tick.due);
    tick_name name;
    tick_name_make(&name);
    XLOPER12 tolerance, schedule, result;
    memset(&tolerance, 0, sizeof tolerance);
    tolerance.xltype = xltypeMissing;
    memset(&schedule, 0, sizeof schedule);
    schedule.xltype = xltypeBool;
    schedule.val.xbool = 0;
    memset(&result, 0, sizeof result);
    int rc = Excel12(xlcOnTime, &result, 4, &when, &name.oper, &tolerance, &schedule);
    if (rc != xlretSuccess) xll_logf(xll_log, 128, "xll_tick: cancelling the pending run failed: rc=%d", rc);
    tick.due = 0;
}

}  // namespace

int xll_tick_add_hook(xll_tick_hook hook) {
    if (!hook) return 0;
    for (int i = 0; i < tick.hook_count; i++)
        if (tick.hooks[i] == hook) return 0;
    if (tick.hook_count == TICK_MAX_HOOKS) {
        xll_log("xll_tick: hook list full");
        return 0;
    }
    tick.hooks[tick.hook_count++] = hook;
    return 1;
}

void xll_tick_start(void) {
    // A second open without a close in between keeps one schedule only.
    tick_cancel();
    tick.open = 1;
    tick.failures_logged = 0;
    tick_schedule(TICK_SECOND);
}

void xll_tick_stop(void) {
    tick_cancel();
    tick.open = 0;
}

int xll_tick_begin(void) {
    if (tick.due <= 0) return 0;
    // Excel runs a scheduled command at or after its time; anything earlier
    // is a run by name, and the schedule is still pending.
    double now = tick_now();
    if (now > 0 && now < tick.due) {
        tick_cancel();
        return 0;
    }
    tick.due = 0;
    return 1;
}

void xll_tick_rearm(void) {
    if (tick.open && tick.due <= 0) tick_schedule(TICK_SECOND);
}

void xll_tick_end(void) {
    int soon = 0;
    for (int i = 0; i < tick.hook_count; i++) soon |= tick.hooks[i]();
    if (tick.open && tick.due <= 0) tick_schedule(soon ? TICK_BUSY : TICK_SECOND);
}
