// Binds the glibc symbols that the module (and the libstdc++ linked into it)
// uses to the versions every supported glibc has, so that a module built on
// a new distribution loads on old ones.  The build redirects every reference
// to each symbol defined here with the prefix "__wrap_" (ld --wrap; the list
// is read from this file), and the wrapper calls the symbol's oldest version,
// which new glibc keeps for compatibility.  Built only with QRL_PORTABLE_LINUX.
#include <cerrno>
#include <cstddef>
#include <cstdint>

#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__x86_64__)
#define QRL_GLIBC_BASE "GLIBC_2.2.5"
#elif defined(__aarch64__)
#define QRL_GLIBC_BASE "GLIBC_2.17"
#else
#error "glibc floor: name the base symbol version of this architecture"
#endif

// old_<name> is <name> at the base version; __wrap_<name> forwards to it.
#define QRL_OLD_GLIBC(result, name, parameters, arguments)       \
    extern "C" result old_##name parameters;                     \
    __asm__(".symver old_" #name ", " #name "@" QRL_GLIBC_BASE); \
    extern "C" [[gnu::visibility("hidden")]] result __wrap_##name parameters { return old_##name arguments; }

// 2.29 dropped the SVID error-handling wrapper around exp; the values are the same.
QRL_OLD_GLIBC(double, exp, (double x), (x))
// 2.32 and 2.34 moved the threads functions from libpthread into libc under
// new versions; the module also lists libpthread.so.0 as needed, where older
// glibc defines them.
QRL_OLD_GLIBC(int, pthread_once, (pthread_once_t * once, void (*init)()), (once, init))
QRL_OLD_GLIBC(int, pthread_create,
              (pthread_t * thread, const pthread_attr_t* attributes, void* (*start)(void*), void* argument),
              (thread, attributes, start, argument))
QRL_OLD_GLIBC(int, pthread_join, (pthread_t thread, void** result), (thread, result))
QRL_OLD_GLIBC(int, pthread_attr_setstacksize, (pthread_attr_t * attributes, std::size_t size), (attributes, size))
QRL_OLD_GLIBC(int, pthread_mutex_trylock, (pthread_mutex_t * mutex), (mutex))
QRL_OLD_GLIBC(int, pthread_sigmask, (int how, const sigset_t* set, sigset_t* previous), (how, set, previous))

// libstdc++'s std::random_device (linked in, never used by the module) asks
// for entropy through functions newer than the floor: serve them from the
// getrandom system call.
namespace {
int fill_random(void* buffer, std::size_t size) {
    auto* out = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const long got = syscall(SYS_getrandom, out, size, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        out += got;
        size -= static_cast<std::size_t>(got);
    }
    return 0;
}
}  // namespace

extern "C" [[gnu::visibility("hidden")]] int __wrap_getentropy(void* buffer, std::size_t size) {
    if (size > 256) {
        errno = EIO;
        return -1;
    }
    return fill_random(buffer, size);
}

extern "C" [[gnu::visibility("hidden")]] std::uint32_t __wrap_arc4random() {
    std::uint32_t value = 0;
    while (fill_random(&value, sizeof value) != 0) {
    }
    return value;
}

// glibc 2.32 tells libstdc++ through this flag that the process has one
// thread, so that reference counts may skip atomic instructions.  Without the
// flag, they always use them: correct for every process.
extern "C" {
[[gnu::visibility("hidden")]] char __wrap___libc_single_threaded = 0;
}
