// Win32 implementation of the platform layer: each entry is the Win32 call its
// name in platform.h gives, with only the argument shuffling the table's
// narrower signatures need.
#ifdef _WIN32

#include "platform.h"

#include <winsock2.h>
#include <windows.h>
#include <bcrypt.h>
#include <shlobj.h>

namespace {

unsigned win_module_file_name(plat_module module, wchar_t *buf, unsigned cap) {
    if (cap == 0) return 0;
    DWORD n = GetModuleFileNameW((HMODULE)module, buf, cap);
    // A cut path comes back as `cap` and, on old systems, unterminated.
    if (n >= cap) {
        buf[cap - 1] = 0;
        return cap - 1;
    }
    buf[n] = 0;
    return n;
}

plat_module win_library_load(const wchar_t *path) { return (plat_module)LoadLibraryW(path); }

void *win_library_symbol(plat_module module, const char *name) {
    if (!module) return nullptr;
    return reinterpret_cast<void *>(GetProcAddress((HMODULE)module, name));
}

void win_library_free(plat_module module) {
    if (module) FreeLibrary((HMODULE)module);
}

plat_module win_host_module(void) { return (plat_module)GetModuleHandleA(nullptr); }

unsigned long win_last_error(void) { return GetLastError(); }

unsigned win_temp_path(char *buf, unsigned cap) { return GetTempPathA(cap, buf); }

// Room is kept for the terminator: with an explicit length WideCharToMultiByte
// writes none, and the table promises a terminated result.
int win_wide_convert(UINT code_page, const wchar_t *src, int len, char *out, int cap) {
    if (!out || cap <= 0) return 0;
    out[0] = 0;
    if (len < 0) {
        int n = WideCharToMultiByte(code_page, 0, src, -1, out, cap, nullptr, nullptr);
        if (n == 0) out[0] = 0;
        return n;
    }
    if (len == 0) return 0;
    int n = WideCharToMultiByte(code_page, 0, src, len, out, cap - 1, nullptr, nullptr);
    out[n > 0 ? n : 0] = 0;
    return n;
}

int win_wide_to_ansi(const wchar_t *src, int len, char *out, int cap) {
    return win_wide_convert(CP_ACP, src, len, out, cap);
}

int win_wide_to_utf8(const wchar_t *src, int len, char *out, int cap) {
    return win_wide_convert(CP_UTF8, src, len, out, cap);
}

int win_ansi_to_wide(const char *src, wchar_t *out, int cap) {
    if (!out || cap <= 0) return 0;
    int n = MultiByteToWideChar(CP_ACP, 0, src, -1, out, cap);
    if (n == 0) out[0] = 0;
    return n;
}

void copy_find_data(const WIN32_FIND_DATAW *wfd, plat_find_data *out) {
    int i = 0;
    for (; i < PLAT_MAX_PATH - 1 && wfd->cFileName[i]; i++) out->name[i] = wfd->cFileName[i];
    out->name[i] = 0;
    out->is_directory = (wfd->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

plat_find win_find_first(const wchar_t *pattern, plat_find_data *out) {
    WIN32_FIND_DATAW wfd;
    HANDLE h = FindFirstFileW(pattern, &wfd);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    copy_find_data(&wfd, out);
    return (plat_find)h;
}

int win_find_next(plat_find find, plat_find_data *out) {
    WIN32_FIND_DATAW wfd;
    if (!find || !FindNextFileW((HANDLE)find, &wfd)) return 0;
    copy_find_data(&wfd, out);
    return 1;
}

void win_find_close(plat_find find) {
    if (find) FindClose((HANDLE)find);
}

// The thread's function travels in the start parameter.
DWORD WINAPI thread_start(LPVOID param) {
    plat_thread_fn fn = reinterpret_cast<plat_thread_fn>(param);
    return fn();
}

plat_thread win_thread_create(plat_thread_fn fn) {
    return (plat_thread)CreateThread(nullptr, 0, thread_start, reinterpret_cast<LPVOID>(fn), 0, nullptr);
}

unsigned win_wait(void *handle, unsigned ms) {
    if (!handle) return PLAT_WAIT_FAILED;
    return WaitForSingleObject((HANDLE)handle, ms);
}

unsigned win_thread_wait(plat_thread thread, unsigned ms) { return win_wait(thread, ms); }

void win_close_handle(void *handle) {
    if (handle) CloseHandle((HANDLE)handle);
}

void win_thread_close(plat_thread thread) { win_close_handle(thread); }

plat_event win_event_create(void) { return (plat_event)CreateEventW(nullptr, TRUE, FALSE, nullptr); }

void win_event_set(plat_event event) {
    if (event) SetEvent((HANDLE)event);
}

unsigned win_event_wait(plat_event event, unsigned ms) { return win_wait(event, ms); }

void win_event_close(plat_event event) { win_close_handle(event); }

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(plat_lock::storage), "plat_lock too small");
static_assert(alignof(CRITICAL_SECTION) <= alignof(plat_lock), "plat_lock misaligned");

CRITICAL_SECTION *critical_section(plat_lock *lock) { return reinterpret_cast<CRITICAL_SECTION *>(lock->storage); }

void win_lock_init(plat_lock *lock) { InitializeCriticalSection(critical_section(lock)); }
void win_lock_enter(plat_lock *lock) { EnterCriticalSection(critical_section(lock)); }
void win_lock_leave(plat_lock *lock) { LeaveCriticalSection(critical_section(lock)); }
void win_lock_delete(plat_lock *lock) { DeleteCriticalSection(critical_section(lock)); }

int win_random_bytes(unsigned char *buf, unsigned len) {
    NTSTATUS status = BCryptGenRandom(nullptr, buf, len, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    return status >= 0;
}

int win_appdata_path(char *buf) {
    buf[0] = 0;
    if (SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buf) != S_OK) {
        buf[0] = 0;
        return 0;
    }
    return 1;
}

int win_create_directory(const char *path) { return CreateDirectoryA(path, nullptr) != 0; }

int win_delete_file(const char *path) { return DeleteFileA(path) != 0; }

// The per-user application data folder already keeps other users out.
FILE *win_open_private_write(const char *path) { return fopen(path, "w"); }

// Excel's process has no broken-pipe signal: a write to a closed socket
// already fails with an error.
void win_ignore_broken_pipe(void) {}

FILE *win_open_read(const char *path) { return fopen(path, "rb"); }

int win_module_pin(plat_module module) {
    HMODULE pinned = nullptr;
    return module && GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                                        reinterpret_cast<LPCWSTR>(module), &pinned)
               ? 1
               : 0;
}

// Text mode: the line end on disk is CR LF.
FILE *win_open_append(const char *path) { return fopen(path, "a"); }

int win_replace_file(const char *from, const char *to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

int win_socket_private(plat_socket socket) {
    return SetHandleInformation(reinterpret_cast<HANDLE>((SOCKET)socket), HANDLE_FLAG_INHERIT, 0) != 0;
}

int win_socket_exclusive(plat_socket socket) {
    BOOL on = TRUE;
    return setsockopt((SOCKET)socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&on),
                      sizeof on) == 0;
}

unsigned long win_process_id(void) { return GetCurrentProcessId(); }

// Owners and access lists are not looked at: the folder lies in the user's
// own profile, whose permissions already keep other users out. What is
// refused is a junction or symbolic link, which could lead anywhere.
int win_folder_is_private(const char *path, char *why, size_t cap) {
    DWORD attrs = GetFileAttributesA(path);
    if (attrs == INVALID_FILE_ATTRIBUTES) {
        snprintf(why, cap, "cannot be examined (error %lu)", GetLastError());
        return 0;
    }
    if (!(attrs & FILE_ATTRIBUTE_DIRECTORY)) {
        snprintf(why, cap, "is not a folder");
        return 0;
    }
    if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) {
        snprintf(why, cap, "is a link (reparse point)");
        return 0;
    }
    return 1;
}

int win_file_is_plain_or_absent(const char *path, char *why, size_t cap) {
    DWORD attrs = GetFileAttributesA(path);
    if (attrs == INVALID_FILE_ATTRIBUTES) {
        DWORD err = GetLastError();
        if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return 1;
        snprintf(why, cap, "cannot be examined (error %lu)", err);
        return 0;
    }
    if (attrs & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) {
        snprintf(why, cap, "is not a regular file");
        return 0;
    }
    if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) {
        snprintf(why, cap, "is a link (reparse point)");
        return 0;
    }
    return 1;
}

// Each entry is set by name, so two calls of the same signature cannot trade
// places unseen.
constexpr plat_api win_table(void) {
    plat_api api{};
    api.module_file_name = win_module_file_name;
    api.library_load = win_library_load;
    api.library_symbol = win_library_symbol;
    api.library_free = win_library_free;
    api.host_module = win_host_module;
    api.last_error = win_last_error;
    api.temp_path = win_temp_path;
    api.wide_to_ansi = win_wide_to_ansi;
    api.wide_to_utf8 = win_wide_to_utf8;
    api.find_first = win_find_first;
    api.find_next = win_find_next;
    api.find_close = win_find_close;
    api.thread_create = win_thread_create;
    api.thread_wait = win_thread_wait;
    api.thread_close = win_thread_close;
    api.event_create = win_event_create;
    api.event_set = win_event_set;
    api.event_wait = win_event_wait;
    api.event_close = win_event_close;
    api.lock_init = win_lock_init;
    api.lock_enter = win_lock_enter;
    api.lock_leave = win_lock_leave;
    api.lock_delete = win_lock_delete;
    api.random_bytes = win_random_bytes;
    api.appdata_path = win_appdata_path;
    api.create_directory = win_create_directory;
    api.delete_file = win_delete_file;
    api.open_private_write = win_open_private_write;
    api.open_append = win_open_append;
    api.replace_file = win_replace_file;
    api.socket_private = win_socket_private;
    api.socket_exclusive = win_socket_exclusive;
    api.ansi_to_wide = win_ansi_to_wide;
    api.ignore_broken_pipe = win_ignore_broken_pipe;
    api.open_read = win_open_read;
    api.process_id = win_process_id;
    api.folder_is_private = win_folder_is_private;
    api.file_is_plain_or_absent = win_file_is_plain_or_absent;
    api.module_pin = win_module_pin;
    return api;
}

}  // namespace

// Constant-initialised, like `plat` below, so the table is in force before any
// constructor of the process runs.
constexpr plat_api plat_defaults = win_table();

plat_api plat = plat_defaults;

void plat_reset(void) { plat = plat_defaults; }

// The module that holds this code. The add-in itself takes DllMain's handle;
// this serves code that has no DllMain of its own (tools, tests).
plat_module plat_self_module(void) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&plat_self_module), &module))
        return nullptr;
    return (plat_module)module;
}

#endif  // _WIN32
