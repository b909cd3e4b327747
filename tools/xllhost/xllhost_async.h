// xllhost's asynchronous functions: the handles Excel passes to a function
// registered with an "X" argument, the results xlAsyncReturn brings back
// from any thread, and the handlers xlEventRegister names.
#pragma once

#include <string>
#include <vector>

#include "xlcall.h"

// Where a returned value goes: a formula cell, or (sheet -1) a `call`/`acall`.
struct host_async_target {
    int sheet;
    long row;
    long col;
};

// A value xlAsyncReturn brought back, copied out of the add-in's memory (the
// add-in frees its own once the call returns, as Excel documents).
struct host_async_result {
    long id;                    // the handle's number
    host_async_target target;
    XLOPER12 value;             // points into the storage below
    std::vector<XLOPER12> items;
    std::vector<std::basic_string<XCHAR>> texts;
};

// A new pending handle (xltypeBigData) for a call whose value goes to `target`.
// The script's thread.
XLOPER12 host_async_handle(const host_async_target &target, long *id);

// The position of the handle among a type text's arguments ("X" after the
// result letter), or -1 when the text declares no asynchronous function.
int host_async_handle_position(const std::string &type_text);

// Waits until no handle is pending (every call of the calculation returned)
// and hands over what came back, in the order the handles were made. The
// script's thread.
std::vector<host_async_result> host_async_settle(void);

// Forgets every pending handle (a cancelled calculation): a later
// xlAsyncReturn of one of them is refused and counted. Returns how many were
// pending. The script's thread.
int host_async_forget(void);

// Handles still pending; xlAsyncReturn calls refused since the host started
// (unknown, cancelled or already returned handles).
int host_async_pending(void);
long host_async_refused(void);

// xlAsyncReturn, from any thread.
int host_async_return(int count, LPXLOPER12 *opers, LPXLOPER12 result);

// xlEventRegister: records `procedure` as a handler of the event. The
// script's thread.
int host_event_register(int count, LPXLOPER12 *opers, LPXLOPER12 result, std::string *procedure, int *event);

// The procedures registered for `event`, in registration order.
std::vector<std::string> host_event_handlers(int event);

// Forgets every event handler (the add-in was unloaded).
void host_event_clear(void);

// Time spent in asynchronous entry points (Excel's thread time of those
// calls) and how many were made: the `asynctime` figures.
void host_async_time_add(double microseconds);
void host_async_time(long *calls, double *microseconds);

// The threads of this process, or -1 where the host cannot count them.
int host_thread_count(void);
