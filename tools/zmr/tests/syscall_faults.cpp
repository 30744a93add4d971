// Preloaded into a process under test, makes it die at its Nth write-side
// system call (opening for writing, write, pwrite, fsync, fdatasync,
// ftruncate, unlink, rename): before the call or, for a write, after half
// of its bytes went out; or stall there. Set up through the environment:
//   ZMR_FAULT_AT=N        the call to die at, counting from 1 (unset: never)
//   ZMR_FAULT_HALF=1      a write at call N writes half its bytes, then dies
//   ZMR_FAULT_PAUSE_MS=T  instead of dying, wait T ms before call N
//   ZMR_FAULT_LOG=PATH    one line per counted call: "N kind bytes"
// Writes to the standard streams are not counted: they change no file.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

template <class F>
F Real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using OpenFn = int (*)(const char*, int, ...);
using WriteFn = ssize_t (*)(int, const void*, size_t);

std::atomic<long> g_calls{0};

long Target() {
    static const long at = [] {
        const char* s = std::getenv("ZMR_FAULT_AT");
        return s ? std::atol(s) : 0L;
    }();
    return at;
}

[[noreturn]] void Die() {
    ::kill(::getpid(), SIGKILL);
    for (;;) ::pause();
}

void Log(long n, const char* kind, size_t bytes) {
    const char* path = std::getenv("ZMR_FAULT_LOG");
    if (!path)
        return;
    static const OpenFn open_ = Real<OpenFn>("open");
    static const WriteFn write_ = Real<WriteFn>("write");
    const int fd = open_(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    char line[96];
    const int len = std::snprintf(line, sizeof line, "%ld %s %zu\n", n, kind, bytes);
    write_(fd, line, size_t(len));
    ::close(fd);
}

// Counts a write-side call and dies before it when it is the chosen one.
// True when the caller is to write half of its bytes and then die.
bool Arrive(const char* kind, size_t bytes) {
    const long n = ++g_calls;
    Log(n, kind, bytes);
    if (n != Target())
        return false;
    if (const char* pause = std::getenv("ZMR_FAULT_PAUSE_MS")) {
        ::usleep(useconds_t(std::atol(pause)) * 1000);
        return false;
    }
    const char* half = std::getenv("ZMR_FAULT_HALF");
    if (half && *half == '1' && bytes >= 2)
        return true;
    Die();
}

bool WritesFiles(int flags) {
    return (flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC)) != 0;
}

template <class F, class... Args>
int OpenThrough(const char* name, int flags, Args... args) {
    static const F real = Real<F>(name);
    if (WritesFiles(flags))
        Arrive("open", 0);
    return real(args...);
}

}  // namespace

extern "C" {

#define KOVEL_FAULT_OPEN(name)                                       \
    int name(const char* path, int flags, ...) {                     \
        mode_t mode = 0;                                             \
        if (flags & (O_CREAT | O_TMPFILE)) {                         \
            va_list ap;                                              \
            va_start(ap, flags);                                     \
            mode = va_arg(ap, mode_t);                               \
            va_end(ap);                                              \
        }                                                            \
        return OpenThrough<OpenFn>(#name, flags, path, flags, mode); \
    }
#define KOVEL_FAULT_OPENAT(name)                                                                       \
    int name(int dir, const char* path, int flags, ...) {                                              \
        mode_t mode = 0;                                                                               \
        if (flags & (O_CREAT | O_TMPFILE)) {                                                           \
            va_list ap;                                                                                \
            va_start(ap, flags);                                                                       \
            mode = va_arg(ap, mode_t);                                                                 \
            va_end(ap);                                                                                \
        }                                                                                              \
        return OpenThrough<int (*)(int, const char*, int, ...)>(#name, flags, dir, path, flags, mode); \
    }
KOVEL_FAULT_OPEN(open)
KOVEL_FAULT_OPEN(open64)
KOVEL_FAULT_OPENAT(openat)
KOVEL_FAULT_OPENAT(openat64)

ssize_t write(int fd, const void* buf, size_t n) {
    static const WriteFn real = Real<WriteFn>("write");
    if (fd > 2 && Arrive("write", n)) {
        real(fd, buf, n / 2);
        Die();
    }
    return real(fd, buf, n);
}

#define KOVEL_FAULT_PWRITE(name)                                                            \
    ssize_t name(int fd, const void* buf, size_t n, off_t at) {                             \
        static const auto real = Real<ssize_t (*)(int, const void*, size_t, off_t)>(#name); \
        if (Arrive("pwrite", n)) {                                                          \
            real(fd, buf, n / 2, at);                                                       \
            Die();                                                                          \
        }                                                                                   \
        return real(fd, buf, n, at);                                                        \
    }
KOVEL_FAULT_PWRITE(pwrite)
KOVEL_FAULT_PWRITE(pwrite64)

#define KOVEL_FAULT_CALL(ret, name, kind, params, args)      \
    ret name params {                                        \
        static const auto real = Real<ret(*) params>(#name); \
        Arrive(kind, 0);                                     \
        return real args;                                    \
    }
KOVEL_FAULT_CALL(int, fsync, "fsync", (int fd), (fd))
KOVEL_FAULT_CALL(int, fdatasync, "fsync", (int fd), (fd))
KOVEL_FAULT_CALL(int, ftruncate, "ftruncate", (int fd, off_t length), (fd, length))
KOVEL_FAULT_CALL(int, ftruncate64, "ftruncate", (int fd, off_t length), (fd, length))
KOVEL_FAULT_CALL(int, unlink, "unlink", (const char* path), (path))
KOVEL_FAULT_CALL(int, unlinkat, "unlink", (int dir, const char* path, int flags), (dir, path, flags))
KOVEL_FAULT_CALL(int, rename, "rename", (const char* from, const char* to), (from, to))
KOVEL_FAULT_CALL(int, renameat, "rename", (int a, const char* from, int b, const char* to), (a, from, b, to))

}  // extern "C"
