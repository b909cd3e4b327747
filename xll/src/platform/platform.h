// Platform layer: the only place that talks to the operating system directly.
//
// The add-in is a Windows DLL; on Linux the same sources build a shared object
// whose platform calls stand in for the Win32 ones. Nothing outside this layer
// includes <windows.h> or <dlfcn.h>.
//
// Every call goes through the process-wide table `plat`, whose entries start as
// the platform's defaults (`plat_defaults`). A test may swap one entry to make
// exactly that call fail, and restores it with `plat_reset`.
#pragma once

#include <cstddef>
#include <cstdio>

// Buffers for paths hold at most 259 characters and a terminator.
constexpr int PLAT_MAX_PATH = 260;

// Path separator and the Python library's file name differ between the builds.
#ifdef _WIN32
constexpr wchar_t PLAT_SEP = L'\\';
#define PLAT_SEP_STR L"\\"
#define PLAT_SEP_NARROW "\\"
#define PLAT_PYTHON_LIB L"python312.dll"
#else
constexpr wchar_t PLAT_SEP = L'/';
#define PLAT_SEP_STR L"/"
#define PLAT_SEP_NARROW "/"
#define PLAT_PYTHON_LIB L"libpython3.12.so"
#endif

// Wait results, with the Win32 values.
constexpr unsigned PLAT_WAIT_OBJECT_0 = 0x00000000u;
constexpr unsigned PLAT_WAIT_TIMEOUT = 0x00000102u;
constexpr unsigned PLAT_WAIT_FAILED = 0xFFFFFFFFu;

// Why open_append refused what it found at the log path (last_error), beside
// the system's own error numbers, which stay far below these.
constexpr unsigned long PLAT_LOG_NOT_REGULAR = 0x20000001u;  // a FIFO, device, socket or folder
constexpr unsigned long PLAT_LOG_NOT_OWNER = 0x20000002u;    // another user's file
constexpr unsigned long PLAT_LOG_SHARED = 0x20000003u;       // others may write it, or it has other names
constexpr unsigned long PLAT_LOG_LINK = 0x20000004u;         // a symbolic link

typedef void *plat_module;  // HMODULE, or a loaded library / own base address on Linux
typedef void (*plat_proc)(void);
typedef void *plat_event;   // manual-reset event; null when absent
typedef void *plat_thread;  // joinable thread; null when absent
typedef unsigned (*plat_thread_fn)(void);

// A critical section; storage large enough for either platform's lock.
struct plat_lock {
    alignas(8) unsigned char storage[64];
};

// A process-wide record that is never destroyed. When a process ends,
// Windows first ends every other thread wherever it stands and only then runs
// the add-in's static destructors: a condition variable that a killed thread
// was setting up leaves its library's lock taken, and its destructor spins on
// it for good; a thread object still joinable aborts the process. Either
// would stop Excel on its way out. The system reclaims what the record holds.
// Like any static, the value starts zero-initialised.
template <class T>
union plat_forever {
    T value;
    plat_forever() : value() {}
    ~plat_forever() {}
};

// One entry of a directory listing.
struct plat_find_data {
    wchar_t name[PLAT_MAX_PATH];  // file name without folder, terminated
    int is_directory;             // FILE_ATTRIBUTE_DIRECTORY set
};
typedef void *plat_find;  // listing handle; null when the listing failed

// A native socket handle (SOCKET on Windows, a descriptor on Linux).
typedef unsigned long long plat_socket;

struct plat_api {
    // GetModuleFileNameW: full path of `module` (null: the process's
    // executable) into buf (cap characters, always terminated, cut when
    // longer). Returns the length written, 0 on failure. On Linux `module` is
    // an address inside the module (plat_self_module's result), not a handle
    // from library_load.
    unsigned (*module_file_name)(plat_module module, wchar_t *buf, unsigned cap);
    // LoadLibraryW: loads a library by full path (on Linux RTLD_NOW|RTLD_GLOBAL,
    // so extension modules find the interpreter's symbols). Null on failure,
    // with the last error set.
    plat_module (*library_load)(const wchar_t *path);
    // GetProcAddress: address of an exported symbol, null when absent.
    void *(*library_symbol)(plat_module module, const char *name);
    // FreeLibrary.
    void (*library_free)(plat_module module);
    // GetModuleHandleA(NULL): the process's executable module.
    plat_module (*host_module)(void);
    // GetLastError of the calling thread.
    unsigned long (*last_error)(void);
    // GetTempPathA: temp folder with a trailing separator into buf. Returns the
    // length, or 0 on failure, or a value >= cap when it does not fit.
    unsigned (*temp_path)(char *buf, unsigned cap);
    // WideCharToMultiByte for a terminated wide text (len -1) or len characters.
    // CP_ACP on Windows, UTF-8 on Linux. Returns bytes written (with the
    // terminator when len is -1), 0 on failure; out is always terminated.
    int (*wide_to_ansi)(const wchar_t *src, int len, char *out, int cap);
    // The same with CP_UTF8.
    int (*wide_to_utf8)(const wchar_t *src, int len, char *out, int cap);
    // FindFirstFileW / FindNextFileW / FindClose for a pattern "folder<sep>*.ext".
    plat_find (*find_first)(const wchar_t *pattern, plat_find_data *out);
    int (*find_next)(plat_find find, plat_find_data *out);
    void (*find_close)(plat_find find);
    // CreateThread: starts fn at once. Null on failure, with the last error set.
    plat_thread (*thread_create)(plat_thread_fn fn);
    // WaitForSingleObject on a thread: PLAT_WAIT_OBJECT_0 once it has ended.
    unsigned (*thread_wait)(plat_thread thread, unsigned ms);
    // CloseHandle on a thread; a thread still running is left to end on its own.
    void (*thread_close)(plat_thread thread);
    // CreateEventW: manual-reset, non-signalled, unnamed. Null on failure.
    plat_event (*event_create)(void);
    void (*event_set)(plat_event event);
    // WaitForSingleObject on an event: PLAT_WAIT_OBJECT_0 when signalled.
    unsigned (*event_wait)(plat_event event, unsigned ms);
    void (*event_close)(plat_event event);
    // InitializeCriticalSection and friends.
    void (*lock_init)(plat_lock *lock);
    void (*lock_enter)(plat_lock *lock);
    void (*lock_leave)(plat_lock *lock);
    void (*lock_delete)(plat_lock *lock);
    // BCryptGenRandom with the system's preferred generator. 1 when filled.
    int (*random_bytes)(unsigned char *buf, unsigned len);
    // SHGetFolderPathA(CSIDL_APPDATA) into a buffer of PLAT_MAX_PATH. 1 on success.
    int (*appdata_path)(char *buf);
    // CreateDirectoryA (on Linux mode 0700). 1 when made; an existing one gives 0
    // (on Linux an existing folder of this user's with wider rights is
    // narrowed to 0700 first).
    int (*create_directory)(const char *path);
    // DeleteFileA. 1 when deleted.
    int (*delete_file)(const char *path);
    // fopen(path, "w") for a file that only its user may read (0600 on Linux).
    FILE *(*open_private_write)(const char *path);
    // fopen(path, "a") for the log: text mode, the line end on disk is CR LF
    // on Windows. On Linux, where the temp folder is shared, the open never
    // waits and takes only a regular file of this user's that nobody else may
    // write and that has no other name; it is created 0600 and never opened
    // through a symbolic link. Null when refused or failed, with last_error
    // set (one of PLAT_LOG_* when the file found was refused).
    FILE *(*open_append)(const char *path);
    // MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) / rename: `to` holds
    // the old content or the new, never a mix. 1 when replaced.
    int (*replace_file)(const char *from, const char *to);
    // SetHandleInformation(HANDLE_FLAG_INHERIT, 0) / FD_CLOEXEC: the socket
    // is not inherited by child processes. 1 when set.
    int (*socket_private)(plat_socket socket);
    // SO_EXCLUSIVEADDRUSE before bind: no other socket may bind the port, not
    // even one that asks to reuse it. Linux refuses such sharing by default,
    // so there it only reports success. 1 when set.
    int (*socket_exclusive)(plat_socket socket);
    // MultiByteToWideChar(CP_ACP) for a terminated text (UTF-8 on Linux), for
    // paths that arrive narrow (command lines). Returns the characters written
    // with the terminator, 0 on failure; out is always terminated.
    int (*ansi_to_wide)(const char *src, wchar_t *out, int cap);
    // --- bounded agent server ---
    // Makes a write to a closed pipe or socket fail with an error instead of
    // ending the process (Linux: SIGPIPE ignored; Windows has no such signal).
    void (*ignore_broken_pipe)(void);
    // fopen(path, "rb"), for a small file the add-in wrote itself (the
    // session file). Null when it cannot be opened; on Linux also when it is
    // not a regular file (a pipe planted there never blocks the open) or a
    // link.
    FILE *(*open_read)(const char *path);
    // --- where the session file may go ---
    // GetCurrentProcessId / getpid: recorded in the session file so that a
    // client can tell a file whose process has ended.
    unsigned long (*process_id)(void);
    // 1 when `path` is a folder that no other user can change, so a token
    // written into it reaches only its user. Linux: a folder (or a link of
    // this user's to one) owned by this user and writable by nobody else.
    // Windows: a folder that is not a reparse point (the per-user profile's
    // permissions keep others out). 0 with the reason in `why` (cap bytes).
    int (*folder_is_private)(const char *path, char *why, size_t cap);
    // 1 when nothing is at `path`, or a regular file (never a link, a pipe or
    // a device; on Linux one owned by this user). 0 with the reason in `why`.
    int (*file_is_plain_or_absent)(const char *path, char *why, size_t cap);
    // Keeps `module` (plat_self_module's or DllMain's) loaded until the
    // process ends, whatever frees it later: GetModuleHandleExW with
    // GET_MODULE_HANDLE_EX_FLAG_PIN; on Linux dlopen of its own file with
    // RTLD_NOLOAD | RTLD_NODELETE. 1 when pinned.
    int (*module_pin)(plat_module module);
};

extern plat_api plat;                 // the calls in force
extern const plat_api plat_defaults;  // the platform's own calls, each entry set by name

// Restores every entry of `plat` to its default. For tests.
void plat_reset(void);

// The add-in's own module (for GetModuleFileNameW). On Windows the lifecycle
// stores DllMain's handle; on Linux this resolves the shared object that holds
// this function.
plat_module plat_self_module(void);
