// POSIX stand-ins for the Win32 calls of the platform layer (Linux test bed).
//
// Wide text is wchar_t (UTF-32) here and becomes UTF-8 at every OS call. The
// "ANSI code page" is UTF-8. Error codes are errno values.
#ifndef _WIN32

#include "platform.h"

#include "text_utf16.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <new>

namespace {

thread_local unsigned long posix_last_error = 0;

// Wide text (UTF-32) to UTF-8 by text_utf16's rule. Returns the bytes
// written without terminator, or -1 when the output does not fit (out is then
// terminated at what fitted). *replaced counts the characters UTF-8 cannot
// hold, written as U+FFFD.
int utf32_to_utf8(const wchar_t *src, int len, char *out, int cap, int *replaced) {
    if (cap <= 0) return -1;
    int n = 0;
    for (int i = 0; len < 0 ? src[i] != 0 : i < len; i++) {
        char tmp[4];
        int k = text_utf16_put_utf8((unsigned long)src[i], tmp, replaced);
        if (n + k >= cap) {
            out[n] = 0;
            return -1;
        }
        memcpy(out + n, tmp, (size_t)k);
        n += k;
    }
    out[n] = 0;
    return n;
}

// UTF-8 to UTF-32, for names that come back from the file system. Bytes that
// are not UTF-8 are taken one by one as their own value (text_utf16's rule),
// so nothing is lost silently.
int utf8_to_utf32(const char *src, wchar_t *out, int cap) {
    int n = 0;
    const unsigned char *s = (const unsigned char *)src;
    size_t left = strlen(src);
    int replaced = 0;
    while (left > 0 && n + 1 < cap) {
        unsigned long c;
        int k = text_utf16_get_utf8(s, left, &c, &replaced);
        out[n++] = (wchar_t)c;
        s += k;
        left -= (size_t)k;
    }
    out[n] = 0;
    return n;
}

// A path must name exactly one file: a character UTF-8 cannot hold refuses it.
int path_to_utf8(const wchar_t *path, char *out, int cap) {
    int replaced = 0;
    return utf32_to_utf8(path, -1, out, cap, &replaced) >= 0 && replaced == 0;
}

unsigned posix_module_file_name(plat_module module, wchar_t *buf, unsigned cap) {
    if (cap == 0) return 0;
    buf[0] = 0;
    char full[PATH_MAX];
    const char *name;
    if (!module) {
        ssize_t n = readlink("/proc/self/exe", full, sizeof full - 1);
        if (n <= 0) {
            posix_last_error = ENOENT;
            return 0;
        }
        full[n] = 0;
        name = full;
    } else {
        Dl_info info;
        if (!dladdr(module, &info) || !info.dli_fname) {
            posix_last_error = ENOENT;
            return 0;
        }
        // GetModuleFileNameW reports the path the module was loaded by, links
        // not followed: an add-in linked into a folder belongs to that folder.
        // Only a relative path is made absolute.
        name = info.dli_fname;
        const char *rel = name;
        while (rel[0] == '.' && rel[1] == '/') rel += 2;
        char cwd[PATH_MAX];
        if (name[0] != '/' && getcwd(cwd, sizeof cwd)) {
            size_t len = strlen(cwd);
            const char *sep = len && cwd[len - 1] == '/' ? "" : "/";
            int n = snprintf(full, sizeof full, "%s%s%s", cwd, sep, rel);
            if (n > 0 && (size_t)n < sizeof full) name = full;
        }
    }
    wchar_t wide[PATH_MAX];
    utf8_to_utf32(name, wide, PATH_MAX);
    // GetModuleFileNameW cuts the path to the buffer and terminates it.
    unsigned n = 0;
    while (wide[n] && n + 1 < cap) {
        buf[n] = wide[n];
        n++;
    }
    buf[n] = 0;
    return n;
}

plat_module posix_library_load(const wchar_t *path) {
    char utf8[PATH_MAX * 4];
    if (!path_to_utf8(path, utf8, sizeof utf8)) {
        posix_last_error = EINVAL;
        return nullptr;
    }
    errno = 0;
    void *h = dlopen(utf8, RTLD_NOW | RTLD_GLOBAL);
    if (!h) posix_last_error = errno ? (unsigned long)errno : (unsigned long)ENOENT;
    return h;
}

void *posix_library_symbol(plat_module module, const char *name) {
    return module ? dlsym(module, name) : nullptr;
}

void posix_library_free(plat_module module) {
    if (module) dlclose(module);
}

plat_module posix_host_module(void) { return dlopen(nullptr, RTLD_NOW); }

unsigned long posix_last_error_get(void) { return posix_last_error; }

unsigned posix_temp_path(char *buf, unsigned cap) {
    const char *dir = getenv("TMPDIR");
    if (!dir || !*dir) dir = "/tmp";
    size_t len = strlen(dir);
    int need_sep = dir[len - 1] != '/';
    size_t total = len + (size_t)need_sep;
    // Like GetTempPathA: report the needed size when it does not fit.
    if (total + 1 > cap) return (unsigned)(total + 1);
    memcpy(buf, dir, len);
    if (need_sep) buf[len] = '/';
    buf[total] = 0;
    return (unsigned)total;
}

int posix_wide_convert(const wchar_t *src, int len, char *out, int cap) {
    if (!out || cap <= 0) return 0;
    int replaced = 0;  // written as U+FFFD, as WideCharToMultiByte does
    int n = utf32_to_utf8(src, len, out, cap, &replaced);
    if (n < 0) {
        posix_last_error = 122;  // ERROR_INSUFFICIENT_BUFFER, as Windows says
        return 0;
    }
    return len < 0 ? n + 1 : n;
}

struct posix_find {
    char **names;   // sorted matches, so the order is stable like NTFS's
    int count;
    int next;
    char folder[PATH_MAX];
};

void fill_find_data(posix_find *f, plat_find_data *out) {
    const char *name = f->names[f->next++];
    utf8_to_utf32(name, out->name, PLAT_MAX_PATH);
    char full[PATH_MAX * 2];
    snprintf(full, sizeof full, "%s/%s", f->folder, name);
    struct stat st;
    out->is_directory = stat(full, &st) == 0 && S_ISDIR(st.st_mode);
}

int compare_names(const void *a, const void *b) {
    return strcmp(*(char *const *)a, *(char *const *)b);
}

void posix_find_close(plat_find find) {
    posix_find *f = (posix_find *)find;
    if (!f) return;
    for (int i = 0; i < f->count; i++) free(f->names[i]);
    free(f->names);
    delete f;
}

plat_find posix_find_first(const wchar_t *pattern, plat_find_data *out) {
    char utf8[PATH_MAX];
    if (!path_to_utf8(pattern, utf8, sizeof utf8)) {
        posix_last_error = EINVAL;
        return nullptr;
    }
    char *slash = strrchr(utf8, '/');
    const char *glob = slash ? slash + 1 : utf8;
    posix_find *f = new (std::nothrow) posix_find();
    if (!f) return nullptr;
    if (slash) {
        size_t n = (size_t)(slash - utf8);
        memcpy(f->folder, utf8, n);
        f->folder[n] = 0;
    } else {
        strcpy(f->folder, ".");
    }
    DIR *d = opendir(f->folder[0] ? f->folder : "/");
    if (!d) {
        posix_last_error = (unsigned long)errno;
        delete f;
        return nullptr;
    }
    int cap = 0;
    while (struct dirent *e = readdir(d)) {
        // FindFirstFileW matches without regard to case, and a leading dot
        // is an ordinary character to it.
        if (fnmatch(glob, e->d_name, FNM_CASEFOLD) != 0) continue;
        if (f->count == cap) {
            cap = cap ? cap * 2 : 16;
            char **grown = (char **)realloc(f->names, sizeof(char *) * (size_t)cap);
            if (!grown) break;
            f->names = grown;
        }
        f->names[f->count] = strdup(e->d_name);
        if (f->names[f->count]) f->count++;
    }
    closedir(d);
    if (f->count == 0) {
        posix_last_error = 2;  // ERROR_FILE_NOT_FOUND
        posix_find_close(f);
        return nullptr;
    }
    qsort(f->names, (size_t)f->count, sizeof(char *), compare_names);
    fill_find_data(f, out);
    return f;
}

int posix_find_next(plat_find find, plat_find_data *out) {
    posix_find *f = (posix_find *)find;
    if (!f || f->next >= f->count) {
        posix_last_error = 18;  // ERROR_NO_MORE_FILES
        return 0;
    }
    fill_find_data(f, out);
    return 1;
}

// A manual-reset event.
struct posix_event {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    int signalled;
};

// Deadline for a timed wait, on the monotonic clock.
timespec deadline_after(unsigned ms) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += ms / 1000;
    ts.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec++;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

plat_event posix_event_create(void) {
    posix_event *e = new (std::nothrow) posix_event();
    if (!e) {
        posix_last_error = ENOMEM;
        return nullptr;
    }
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_mutex_init(&e->mutex, nullptr);
    pthread_cond_init(&e->cond, &attr);
    pthread_condattr_destroy(&attr);
    e->signalled = 0;
    return e;
}

void posix_event_set(plat_event event) {
    posix_event *e = (posix_event *)event;
    if (!e) return;
    pthread_mutex_lock(&e->mutex);
    e->signalled = 1;
    pthread_cond_broadcast(&e->cond);
    pthread_mutex_unlock(&e->mutex);
}

unsigned posix_event_wait(plat_event event, unsigned ms) {
    posix_event *e = (posix_event *)event;
    if (!e) return PLAT_WAIT_FAILED;
    timespec until = deadline_after(ms);
    pthread_mutex_lock(&e->mutex);
    // A zero-time wait only looks: a timed wait on a deadline already reached
    // still sleeps for the kernel's timer slack (some 50 to 80 us), which the
    // server's stop check would pay on every request.
    int rc = ms == 0 ? ETIMEDOUT : 0;
    while (!e->signalled && rc != ETIMEDOUT) rc = pthread_cond_timedwait(&e->cond, &e->mutex, &until);
    int signalled = e->signalled;
    pthread_mutex_unlock(&e->mutex);
    return signalled ? PLAT_WAIT_OBJECT_0 : PLAT_WAIT_TIMEOUT;
}

void posix_event_close(plat_event event) {
    posix_event *e = (posix_event *)event;
    if (!e) return;
    pthread_cond_destroy(&e->cond);
    pthread_mutex_destroy(&e->mutex);
    delete e;
}

// A thread handle. The record is shared by the thread and its handle: whoever
// lets go of it last frees it, so closing the handle of a thread that is still
// running (a stop that timed out) is safe, as CloseHandle is on Windows.
// The thread stays joinable until its handle is closed: a wait that sees it
// done joins it, so that, as with WaitForSingleObject, the thread is gone
// when the wait says so (after `done` it still runs its exit: this record's
// release, thread-local destructors), and no code of the add-in is running
// on it when Excel unloads the file.
struct posix_thread {
    pthread_t id;
    plat_thread_fn fn;
    posix_event *done;
    pthread_mutex_t refs_mutex;
    int refs;    // 2 while both the thread and the handle hold it
    int joined;  // the handle's side only: 1 once a wait joined the thread
};

void thread_release(posix_thread *t) {
    pthread_mutex_lock(&t->refs_mutex);
    int left = --t->refs;
    pthread_mutex_unlock(&t->refs_mutex);
    if (left == 0) {
        posix_event_close(t->done);
        pthread_mutex_destroy(&t->refs_mutex);
        delete t;
    }
}

void *thread_main(void *arg) {
    posix_thread *t = (posix_thread *)arg;
    t->fn();
    posix_event_set(t->done);
    thread_release(t);
    return nullptr;
}

plat_thread posix_thread_create(plat_thread_fn fn) {
    posix_thread *t = new (std::nothrow) posix_thread();
    if (!t) {
        posix_last_error = ENOMEM;
        return nullptr;
    }
    t->fn = fn;
    t->done = (posix_event *)posix_event_create();
    t->refs = 2;
    pthread_mutex_init(&t->refs_mutex, nullptr);
    if (!t->done) {
        pthread_mutex_destroy(&t->refs_mutex);
        delete t;
        return nullptr;
    }
    int rc = pthread_create(&t->id, nullptr, thread_main, t);
    if (rc != 0) {
        posix_last_error = (unsigned long)rc;
        posix_event_close(t->done);
        pthread_mutex_destroy(&t->refs_mutex);
        delete t;
        return nullptr;
    }
    return t;
}

unsigned posix_thread_wait(plat_thread thread, unsigned ms) {
    posix_thread *t = (posix_thread *)thread;
    if (!t) return PLAT_WAIT_FAILED;
    unsigned rc = posix_event_wait(t->done, ms);
    if (rc == PLAT_WAIT_OBJECT_0 && !t->joined) {
        // Done: what is left of the thread is its exit, which takes no lock
        // of the caller's, so this join is short.
        pthread_join(t->id, nullptr);
        t->joined = 1;
    }
    return rc;
}

void posix_thread_close(plat_thread thread) {
    posix_thread *t = (posix_thread *)thread;
    if (!t) return;
    // A thread nobody waited for to the end ends on its own.
    if (!t->joined) pthread_detach(t->id);
    thread_release(t);
}

static_assert(sizeof(pthread_mutex_t) <= sizeof(plat_lock::storage), "plat_lock too small");

void posix_lock_init(plat_lock *lock) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    // A critical section may be entered again by its owner.
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init((pthread_mutex_t *)lock->storage, &attr);
    pthread_mutexattr_destroy(&attr);
}
void posix_lock_enter(plat_lock *lock) { pthread_mutex_lock((pthread_mutex_t *)lock->storage); }
void posix_lock_leave(plat_lock *lock) { pthread_mutex_unlock((pthread_mutex_t *)lock->storage); }
void posix_lock_delete(plat_lock *lock) { pthread_mutex_destroy((pthread_mutex_t *)lock->storage); }

int posix_random_bytes(unsigned char *buf, unsigned len) {
    unsigned got = 0;
    while (got < len) {
        ssize_t n = getrandom(buf + got, len - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            posix_last_error = (unsigned long)errno;
            return 0;
        }
        got += (unsigned)n;
    }
    return 1;
}

int posix_appdata_path(char *buf) {
    const char *xdg = getenv("XDG_CONFIG_HOME");
    int n;
    if (xdg && *xdg) {
        n = snprintf(buf, PLAT_MAX_PATH, "%s", xdg);
    } else {
        const char *home = getenv("HOME");
        if (!home || !*home) return 0;
        n = snprintf(buf, PLAT_MAX_PATH, "%s/.config", home);
    }
    if (n < 0 || n >= PLAT_MAX_PATH) {
        buf[0] = 0;
        return 0;
    }
    return 1;
}

int posix_create_directory(const char *path) {
    if (mkdir(path, 0700) == 0) return 1;
    int err = errno;
    // A folder made earlier with wider rights (by hand, or by an older
    // build) would let others read the token beside it.
    struct stat st;
    if (err == EEXIST && lstat(path, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
        (st.st_mode & 077) != 0)
        chmod(path, st.st_mode & 0700);
    posix_last_error = (unsigned long)err;
    return 0;
}

int posix_delete_file(const char *path) {
    if (unlink(path) == 0) return 1;
    posix_last_error = (unsigned long)errno;
    return 0;
}

FILE *posix_open_private_write(const char *path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    FILE *f = fdopen(fd, "w");
    if (!f) close(fd);
    return f;
}

void posix_ignore_broken_pipe(void) { signal(SIGPIPE, SIG_IGN); }

int posix_module_pin(plat_module module) {
    Dl_info info;
    if (!module || !dladdr(module, &info) || !info.dli_fname) {
        posix_last_error = EINVAL;
        return 0;
    }
    // NOLOAD: only the copy already in the process, never a second one. The
    // flag NODELETE stays with the object; the handle's reference does not
    // need to, and is given back.
    void *h = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    if (!h) {
        posix_last_error = ENOENT;
        return 0;
    }
    dlclose(h);
    return 1;
}

FILE *posix_open_read(const char *path) {
    // Non-blocking, so a pipe under the name cannot hold the open; only a
    // regular file is read.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        posix_last_error = (unsigned long)errno;
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        posix_last_error = (unsigned long)EINVAL;
        close(fd);
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE *f = fdopen(fd, "rb");
    if (!f) {
        posix_last_error = (unsigned long)errno;
        close(fd);
    }
    return f;
}


unsigned long posix_process_id(void) { return (unsigned long)getpid(); }

int posix_folder_is_private(const char *path, char *why, size_t cap) {
    struct stat link;
    if (lstat(path, &link) != 0) {
        snprintf(why, cap, "cannot be examined (%s)", strerror(errno));
        return 0;
    }
    uid_t me = geteuid();
    if (S_ISLNK(link.st_mode) && link.st_uid != me) {
        snprintf(why, cap, "is a symbolic link owned by user %lu", (unsigned long)link.st_uid);
        return 0;
    }
    struct stat st;
    if (stat(path, &st) != 0) {
        snprintf(why, cap, "is a link that leads nowhere (%s)", strerror(errno));
        return 0;
    }
    const char *via = S_ISLNK(link.st_mode) ? "leads to a folder" : "is a folder";
    if (!S_ISDIR(st.st_mode)) {
        snprintf(why, cap, "is not a folder");
        return 0;
    }
    if (st.st_uid != me) {
        snprintf(why, cap, "%s owned by user %lu", via, (unsigned long)st.st_uid);
        return 0;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        snprintf(why, cap, "%s that others may write to (mode %03o)", via, (unsigned)(st.st_mode & 0777));
        return 0;
    }
    return 1;
}

int posix_file_is_plain_or_absent(const char *path, char *why, size_t cap) {
    struct stat st;
    if (lstat(path, &st) != 0) {
        if (errno == ENOENT) return 1;
        snprintf(why, cap, "cannot be examined (%s)", strerror(errno));
        return 0;
    }
    if (S_ISLNK(st.st_mode)) {
        snprintf(why, cap, "is a symbolic link");
        return 0;
    }
    if (!S_ISREG(st.st_mode)) {
        snprintf(why, cap, "is not a regular file");
        return 0;
    }
    if (st.st_uid != geteuid()) {
        snprintf(why, cap, "is owned by user %lu", (unsigned long)st.st_uid);
        return 0;
    }
    return 1;
}

int posix_ansi_to_wide(const char *src, wchar_t *out, int cap) {
    if (!out || cap <= 0) return 0;
    return utf8_to_utf32(src, out, cap) + 1;
}

// The log sits in a shared temp folder, where anyone may have put something
// under its name first. Only a regular file of this user's with no other name
// is appended to: a FIFO would block the open (and with it Excel's thread)
// until someone reads, and another user's file would take in cell arguments
// and hand back whatever lines its owner planted. The open never waits
// (O_NONBLOCK), never follows a link, and what it found is judged on the open
// descriptor, so nothing can be swapped in between the check and the writes.
// A file of ours that others may only read is narrowed to 0600; one that
// others may write may already hold their lines and is refused.
FILE *posix_open_append(const char *path) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        // ENXIO: a FIFO that nobody reads; ELOOP: a symbolic link.
        posix_last_error = errno == ENXIO ? PLAT_LOG_NOT_REGULAR
                           : errno == ELOOP ? PLAT_LOG_LINK
                                            : (unsigned long)errno;
        return nullptr;
    }
    struct stat st;
    unsigned long refused = 0;
    if (fstat(fd, &st) != 0) refused = (unsigned long)errno;
    else if (!S_ISREG(st.st_mode)) refused = PLAT_LOG_NOT_REGULAR;
    else if (st.st_uid != geteuid()) refused = PLAT_LOG_NOT_OWNER;
    else if ((st.st_mode & 022) != 0 || st.st_nlink != 1) refused = PLAT_LOG_SHARED;
    else if ((st.st_mode & 077) != 0 && fchmod(fd, st.st_mode & 0700) != 0) refused = (unsigned long)errno;
    if (refused == 0 && fcntl(fd, F_SETFL, O_WRONLY | O_APPEND) != 0) refused = (unsigned long)errno;
    if (refused) {
        close(fd);
        posix_last_error = refused;
        return nullptr;
    }
    FILE *f = fdopen(fd, "a");
    if (!f) {
        posix_last_error = (unsigned long)errno;
        close(fd);
    }
    return f;
}

int posix_replace_file(const char *from, const char *to) {
    if (rename(from, to) == 0) return 1;
    posix_last_error = (unsigned long)errno;
    return 0;
}

int posix_socket_private(plat_socket socket) {
    if (fcntl((int)socket, F_SETFD, FD_CLOEXEC) == 0) return 1;
    posix_last_error = (unsigned long)errno;
    return 0;
}

// Without SO_REUSEADDR or SO_REUSEPORT, which the server never sets, Linux
// lets no other socket bind the port.
int posix_socket_exclusive(plat_socket) { return 1; }

// Each entry is set by name, so two calls of the same signature cannot trade
// places unseen.
constexpr plat_api posix_table(void) {
    plat_api api{};
    api.module_file_name = posix_module_file_name;
    api.library_load = posix_library_load;
    api.library_symbol = posix_library_symbol;
    api.library_free = posix_library_free;
    api.host_module = posix_host_module;
    api.last_error = posix_last_error_get;
    api.temp_path = posix_temp_path;
    api.wide_to_ansi = posix_wide_convert;  // the "ANSI code page" is UTF-8 here
    api.wide_to_utf8 = posix_wide_convert;
    api.find_first = posix_find_first;
    api.find_next = posix_find_next;
    api.find_close = posix_find_close;
    api.thread_create = posix_thread_create;
    api.thread_wait = posix_thread_wait;
    api.thread_close = posix_thread_close;
    api.event_create = posix_event_create;
    api.event_set = posix_event_set;
    api.event_wait = posix_event_wait;
    api.event_close = posix_event_close;
    api.lock_init = posix_lock_init;
    api.lock_enter = posix_lock_enter;
    api.lock_leave = posix_lock_leave;
    api.lock_delete = posix_lock_delete;
    api.random_bytes = posix_random_bytes;
    api.appdata_path = posix_appdata_path;
    api.create_directory = posix_create_directory;
    api.delete_file = posix_delete_file;
    api.open_private_write = posix_open_private_write;
    api.open_append = posix_open_append;
    api.replace_file = posix_replace_file;
    api.socket_private = posix_socket_private;
    api.socket_exclusive = posix_socket_exclusive;
    api.ansi_to_wide = posix_ansi_to_wide;
    api.ignore_broken_pipe = posix_ignore_broken_pipe;
    api.open_read = posix_open_read;
    api.process_id = posix_process_id;
    api.folder_is_private = posix_folder_is_private;
    api.file_is_plain_or_absent = posix_file_is_plain_or_absent;
    api.module_pin = posix_module_pin;
    return api;
}

}  // namespace

// Constant-initialised, like `plat` below, so the table is in force before any
// constructor of the process runs.
constexpr plat_api plat_defaults = posix_table();

plat_api plat = plat_defaults;

void plat_reset(void) { plat = plat_defaults; }

plat_module plat_self_module(void) {
    Dl_info info;
    if (!dladdr((void *)&plat_self_module, &info)) return nullptr;
    return info.dli_fbase;
}

#endif  // !_WIN32
