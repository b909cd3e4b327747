// http_server: lifecycle and session file. Start draws the token, makes the
// run's events and the server thread and waits for its readiness; stop
// removes the session file, clears the token and ends the thread.
#include "http_server.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <new>

#include "http_server_exec.h"
#include "http_server_internal.h"
#include "http_server_route.h"
#include "http_server_session.h"
#include "platform/platform.h"
#include "xll_log.h"

namespace {

// The process-wide server record. Fields under `guard` are the ones both
// threads touch; the rest belong to the caller's thread unless noted.
struct http_server_state {
    int running;                         // 1 while a started server is up; caller's thread
    wchar_t xll_dir[PLAT_MAX_PATH];      // folder reported by /config; under guard
    char token[HTTP_SERVER_TOKEN_LEN + 1];  // bearer token, all zero when stopped; under guard
    std::atomic<int> port;               // listening port, 0 when none is known
    std::atomic<int> ready_state;        // 0 unknown, 1 listening, -1 failed
    char session_path[PLAT_MAX_PATH];    // session file, "" when none; under guard
    char session_token[HTTP_SERVER_TOKEN_LEN + 1];  // the token the file was written with; under guard
    int error_kept;                      // 1: the file holds an error record; under guard
    char log_note[HTTP_SESSION_MESSAGE_CAP];  // why logging is off, as published (escaped), "" when on; under guard
    http_server_run *run;                // the published run, null when none; under guard
    plat_thread server_thread;           // the current server thread; caller's thread
    std::atomic<http_server_run *> handoff;  // the run a new thread is to take
    std::mutex guard;                    // token, session_path, xll_dir, run
};
plat_forever<http_server_state> server_record;
http_server_state &server = server_record.value;

constexpr char SESSION_TMP_SUFFIX[] = ".tmp";
// The longest session file: the error form and the log note, each a whole
// escaped message, with the port, token and process id.
constexpr size_t SESSION_TEXT_CAP = 2 * HTTP_SESSION_MESSAGE_CAP + 160;
constexpr int HTTP_SERVER_TOKEN_BYTES = 32;  // drawn for each start; twice as many hex digits

void run_release(http_server_run *run) {
    if (run->refs.fetch_sub(1) != 1) return;
    if (run->stop_event) plat.event_close(run->stop_event);
    if (run->ready_event) plat.event_close(run->ready_event);
    delete run;
}

// Writes `text` as the whole content of the session file `path`, only its
// user may read it. The text goes to a fresh side file that then replaces the
// old one, so a reader sees the old content or the new, never a half-written
// file. 1 when written.
int session_file_write(const char *path, const char *text) {
    char tmp[PLAT_MAX_PATH + sizeof SESSION_TMP_SUFFIX];
    snprintf(tmp, sizeof tmp, "%s%s", path, SESSION_TMP_SUFFIX);
    plat.delete_file(tmp);  // a stale side file would keep its old mode
    FILE *f = plat.open_private_write(tmp);
    if (!f) return 0;
    int ok = fputs(text, f) >= 0;
    ok = (fclose(f) == 0) && ok;
    if (ok && plat.replace_file(tmp, path)) return 1;
    plat.delete_file(tmp);
    return 0;
}

// Writes the session record: port and token, the escaped `error` when there
// is no server (null otherwise), why logging is off when it is ("log_error",
// which tells an agent where diagnostics went missing but never keeps it from
// the server), and last the process id, so a client can tell a file whose
// process has ended. The fields agents have always read keep their bytes and
// their order. Remembers the log note it published. Under the guard. 1 when
// written.
int session_record_write(const char *path, int port, const char *token, const char *error) {
    char reason[HTTP_SESSION_MESSAGE_CAP];
    server.log_note[0] = 0;
    if (xll_log_off_reason(reason, sizeof reason))
        http_server_session_escape(reason, server.log_note, sizeof server.log_note);
    char text[SESSION_TEXT_CAP];
    int n = snprintf(text, sizeof text, "{\"port\":%d,\"token\":\"%.64s\"", port, token);
    if (error && n > 0 && (size_t)n < sizeof text)
        n += snprintf(text + n, sizeof text - (size_t)n, ",\"error\":\"%s\"", error);
    if (server.log_note[0] && n > 0 && (size_t)n < sizeof text)
        n += snprintf(text + n, sizeof text - (size_t)n, ",\"log_error\":\"%s\"", server.log_note);
    if (n > 0 && (size_t)n < sizeof text)
        n += snprintf(text + n, sizeof text - (size_t)n, ",\"pid\":%lu}\n", plat.process_id());
    // A record cut short is no JSON: better none than a broken one.
    if (n <= 0 || (size_t)n >= sizeof text) return 0;
    return session_file_write(path, text);
}

// 1 when why logging is off (or that it is on again) differs from what the
// session file says. Under the guard.
int session_log_note_changed(void) {
    char reason[HTTP_SESSION_MESSAGE_CAP];
    char escaped[HTTP_SESSION_MESSAGE_CAP];
    escaped[0] = 0;
    if (xll_log_off_reason(reason, sizeof reason)) http_server_session_escape(reason, escaped, sizeof escaped);
    return strcmp(escaped, server.log_note) != 0;
}

// Forms the session folder and file path from the app-data folder. 1 when
// both fit their buffers; a path that does not fit is never cut, and no file
// is written under it.
int session_paths(char *folder, char *path) {
    char appdata[PLAT_MAX_PATH];
    if (!plat.appdata_path(appdata)) return 0;
    appdata[PLAT_MAX_PATH - 1] = 0;
    int n = snprintf(folder, PLAT_MAX_PATH, "%s" PLAT_SEP_NARROW "TindralXL", appdata);
    if (n < 0 || n >= PLAT_MAX_PATH) return 0;
    n = snprintf(path, PLAT_MAX_PATH, "%s" PLAT_SEP_NARROW "session.json", folder);
    return n >= 0 && n < PLAT_MAX_PATH;
}

// 1 when the session folder and the file's name may receive the token. A
// folder that another user owns or can write to (or a link to one) would
// hand it to that user, who could also point agents elsewhere; a name that
// is not a plain file (a link, a pipe) is not written through. Logs why not.
int session_place_ok(const char *folder, const char *path) {
    char why[160];
    if (!plat.folder_is_private(folder, why, sizeof why)) {
        xll_logf(xll_log_raw, XLL_LOG_LINE_MAX,
                 "http_server: session folder %s refused: it %s \xE2\x80\x94 no session file written\n", folder, why);
        return 0;
    }
    if (!plat.file_is_plain_or_absent(path, why, sizeof why)) {
        xll_logf(xll_log_raw, XLL_LOG_LINE_MAX,
                 "http_server: session file %s refused: it %s \xE2\x80\x94 no session file written\n", path, why);
        return 0;
    }
    return 1;
}

// 1 while the session file at `path` holds `token`: a second instance (another
// Excel of the same user) that started later has written its own, and the
// newest file is the one agents must find. The token comes first in the
// record, so the file's head is enough.
int session_file_holds(const char *path, const char *token) {
    char text[SESSION_TEXT_CAP];
    FILE *f = plat.open_read(path);
    if (!f) return 0;
    size_t n = fread(text, 1, sizeof text - 1, f);
    fclose(f);
    text[n] = 0;
    char needle[HTTP_SERVER_TOKEN_LEN + 16];
    snprintf(needle, sizeof needle, "\"token\":\"%s\"", token);
    return token[0] && strstr(text, needle) != nullptr;
}

// Deletes the session file only while it is still this instance's.
void session_file_delete_own(const char *path, const char *token) {
    if (session_file_holds(path, token)) plat.delete_file(path);
}

// Forgets the session file, deleting it when it is still this instance's.
// Under the guard.
void session_file_forget(void) {
    session_file_delete_own(server.session_path, server.session_token);
    server.session_path[0] = 0;
    memset(server.session_token, 0, sizeof server.session_token);
}

// Drops the run the start published, for the start's failure paths.
void start_unpublish(http_server_run *run) {
    std::lock_guard<std::mutex> lock(server.guard);
    if (server.run == run) server.run = nullptr;
}

}  // namespace

void http_server_route_snapshot(http_route_input *out) {
    std::lock_guard<std::mutex> lock(server.guard);
    memcpy(out->token, server.token, sizeof out->token);
    memcpy(out->xll_dir, server.xll_dir, sizeof out->xll_dir);
}

int http_server_stop_requested(http_server_run *run) {
    return plat.event_wait(run->stop_event, 0) == PLAT_WAIT_OBJECT_0;
}

void http_server_listening(http_server_run *run, int port) {
    char folder[PLAT_MAX_PATH];
    char path[PLAT_MAX_PATH];
    int have_paths = session_paths(folder, path);
    if (have_paths) plat.create_directory(folder);  // an existing folder is fine
    {
        std::lock_guard<std::mutex> lock(server.guard);
        // A thread that answers after its start gave up, or after a stop,
        // publishes nothing, not even its port: its token and port are no
        // longer the server's, and the session check would republish them.
        if (server.run == run) {
            server.port.store(port);
            if (have_paths && session_place_ok(folder, path)) {
                memcpy(server.session_path, path, sizeof path);
                memcpy(server.session_token, server.token, sizeof server.token);
                server.error_kept = 0;
                session_record_write(path, port, server.token, nullptr);
            }
            server.ready_state.store(1);
        }
    }
    xll_logf(xll_log_raw, 96, "http_server: listening on http://localhost:%d\n", port);
    plat.event_set(run->ready_event);
}

void http_server_not_ready(http_server_run *run) {
    {
        // Only an unanswered start hears of it; a server that was ready stays
        // so, and a thread whose start gave up tells nobody.
        std::lock_guard<std::mutex> lock(server.guard);
        int unknown = 0;
        if (server.run == run) server.ready_state.compare_exchange_strong(unknown, -1);
    }
    plat.event_set(run->ready_event);
}

void http_server_session_check(http_server_run *run) {
    std::lock_guard<std::mutex> lock(server.guard);
    http_server_state &s = server;
    if (s.run != run || !s.session_path[0] || s.error_kept) return;
    FILE *f = plat.open_read(s.session_path);
    if (f) {
        fclose(f);
        // Logging went off (or came back) since the file was written: say so.
        // Only while the file is still this instance's, not a newer one's.
        if (session_log_note_changed() && session_file_holds(s.session_path, s.session_token))
            session_record_write(s.session_path, s.port.load(), s.session_token, nullptr);
        return;
    }
    // A newer instance that closed took its file with it: this one, still
    // serving, is the one an agent should find again.
    session_record_write(s.session_path, s.port.load(), s.session_token, nullptr);
}

void http_server_listener_lost(http_server_run *run) {
    std::lock_guard<std::mutex> lock(server.guard);
    if (server.run == run && server.session_path[0] && !server.error_kept)
        session_file_forget();
}

namespace {

// The server thread. Takes the run the start handed over (and the reference
// that came with it) and serves until the run's stop event is signalled.
unsigned http_server_thread(void) {
    http_server_run *run = server.handoff.exchange(nullptr);
    if (!run) return 1;  // its start gave up before the thread began
    unsigned code = http_transport_serve(run);
    run_release(run);
    return code;
}

}  // namespace

int http_server_start(const wchar_t *xll_dir) {
    http_server_state &s = server;
    if (s.running) return 1;
    if (xll_dir) {
        std::lock_guard<std::mutex> lock(s.guard);
        wcsncpy(s.xll_dir, xll_dir, PLAT_MAX_PATH - 1);
        s.xll_dir[PLAT_MAX_PATH - 1] = 0;
    }

    unsigned char bytes[HTTP_SERVER_TOKEN_BYTES];
    if (!plat.random_bytes(bytes, sizeof bytes)) {
        xll_log_raw("http_server: FATAL \xE2\x80\x94 BCryptGenRandom failed, refusing to start without auth\n");
        return 0;
    }
    {
        std::lock_guard<std::mutex> lock(s.guard);
        for (int i = 0; i < HTTP_SERVER_TOKEN_BYTES; i++) snprintf(s.token + 2 * i, 3, "%02x", bytes[i]);
    }
    memset(bytes, 0, sizeof bytes);

    http_server_run *run = new (std::nothrow) http_server_run();
    if (run) {
        run->refs.store(1);
        run->stop_event = plat.event_create();
        run->ready_event = plat.event_create();
    }
    s.ready_state.store(0);
    s.port.store(0);
    if (!run || !run->stop_event || !run->ready_event) {
        xll_logf(xll_log_raw, 96, "http_server: FATAL \xE2\x80\x94 CreateEvent failed (error %lu)\n",
                 plat.last_error());
        if (run) run_release(run);
        return 0;
    }

    {
        std::lock_guard<std::mutex> lock(s.guard);
        s.run = run;
    }
    run->refs.fetch_add(1);  // the thread's reference, handed over below
    s.handoff.store(run);
    plat_thread thread = plat.thread_create(http_server_thread);
    if (!thread) {
        xll_logf(xll_log_raw, 96, "http_server: FATAL \xE2\x80\x94 CreateThread failed (error %lu)\n",
                 plat.last_error());
        if (s.handoff.exchange(nullptr)) run_release(run);
        start_unpublish(run);
        run_release(run);
        return 0;
    }

    if (plat.event_wait(run->ready_event, HTTP_SERVER_WAIT_MS) == PLAT_WAIT_OBJECT_0 && s.ready_state.load() == 1) {
        s.server_thread = thread;
        s.running = 1;
        return 1;
    }

    xll_log_raw("http_server: FATAL \xE2\x80\x94 listener failed to become ready\n");
    start_unpublish(run);
    plat.event_set(run->stop_event);
    plat.thread_wait(thread, HTTP_SERVER_WAIT_MS);
    plat.thread_close(thread);
    // A thread that never got going must not find the run later.
    if (s.handoff.exchange(nullptr)) run_release(run);
    run_release(run);
    return 0;
}

void http_server_stop(void) {
    http_server_state &s = server;
    http_server_run *run;
    {
        std::lock_guard<std::mutex> lock(s.guard);
        if (s.session_path[0]) {
            if (s.error_kept) {
                // The error record stays for an agent to read why there is no
                // server; the stop after it removes the file.
                s.error_kept = 0;
            } else {
                session_file_forget();
            }
        }
        memset(s.token, 0, sizeof s.token);
        run = s.run;
        s.run = nullptr;
    }
    s.port.store(0);
    s.ready_state.store(0);
    if (run) plat.event_set(run->stop_event);
    if (s.server_thread) {
        // A thread that outlives the wait ends on its own; it holds its own
        // reference to the run, and a request it left running holds no lock
        // the next server needs.
        plat.thread_wait(s.server_thread, HTTP_SERVER_WAIT_MS);
        plat.thread_close(s.server_thread);
        s.server_thread = nullptr;
    }
    if (run) run_release(run);
    s.running = 0;
}

size_t http_server_session_escape(const char *message, char *dst, size_t cap) {
    if (cap == 0) return 0;
    size_t room = cap - 1;
    size_t n = 0;
    for (const char *s = message; *s; s++) {
        size_t k = (*s == '"' || *s == '\\') ? 2 : 1;
        if (k > room) break;
        if (k == 2) dst[n++] = '\\';
        dst[n++] = *s;
        room -= k;
    }
    dst[n] = 0;
    return n;
}

void http_server_session_write_error(const char *message) {
    http_server_state &s = server;
    int port = s.port.load();
    std::lock_guard<std::mutex> lock(s.guard);
    if (!s.session_path[0] || port <= 0) return;
    char escaped[HTTP_SESSION_MESSAGE_CAP];
    http_server_session_escape(message ? message : "", escaped, sizeof escaped);
    if (session_record_write(s.session_path, port, s.token, escaped)) s.error_kept = 1;
}
