// The interposer. Every definition records its name when the calling thread
// is armed and then forwards to the next definition in the link order
// (the C library's, or a sanitizer's), found with dlsym(RTLD_NEXT).
// Recording allocates nothing: names go into a fixed array of literals.
#include "rt_trap.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

namespace {

constinit thread_local bool t_armed = false;
std::atomic<int> g_count{0};
const char *g_hits[rt_trap::kMaxHits];

inline void note(const char *name)
{
    if (!t_armed)
        return;
    const int i = g_count.fetch_add(1, std::memory_order_relaxed);
    if (i < rt_trap::kMaxHits)
        g_hits[i] = name;
}

template <typename F> F next_fn(const char *name)
{
    void *p = dlsym(RTLD_NEXT, name);
    F f;
    static_assert(sizeof f == sizeof p);
    std::memcpy(&f, &p, sizeof f);
    return f;
}

// pthread_cond_* exist in two versions; plain dlsym may hand out the old one.
template <typename F> F next_fn_versioned(const char *name, const char *version)
{
    void *p = dlvsym(RTLD_NEXT, name, version);
    if (!p)
        p = dlsym(RTLD_NEXT, name);
    F f;
    std::memcpy(&f, &p, sizeof f);
    return f;
}

// Resolved once per entry point; a race only resolves the same value twice.
#define NEXT(fn)                                                                                                       \
    ([] {                                                                                                              \
        static decltype(&::fn) real = nullptr;                                                                         \
        if (!real)                                                                                                     \
            real = next_fn<decltype(&::fn)>(#fn);                                                                      \
        return real;                                                                                                   \
    }())

// ---- the allocator ------------------------------------------------------------------
// dlsym itself may allocate while the allocator is being looked up: those
// early requests are served from a static buffer and never given back.

using malloc_t = void *(*)(size_t);
using calloc_t = void *(*)(size_t, size_t);
using realloc_t = void *(*)(void *, size_t);
using free_t = void (*)(void *);
using memalign_t = int (*)(void **, size_t, size_t);
using aligned_t = void *(*)(size_t, size_t);

struct RealAlloc {
    malloc_t malloc_ = nullptr;
    calloc_t calloc_ = nullptr;
    realloc_t realloc_ = nullptr;
    free_t free_ = nullptr;
    memalign_t posix_memalign_ = nullptr;
    aligned_t aligned_alloc_ = nullptr;
    aligned_t memalign_ = nullptr;
};
constinit RealAlloc g_real;
constinit bool g_resolving = false;

alignas(64) unsigned char g_boot[1 << 16];
constinit size_t g_boot_used = 0;

bool from_boot(const void *p)
{
    const auto *b = static_cast<const unsigned char *>(p);
    return b >= g_boot && b < g_boot + sizeof g_boot;
}

void *boot_alloc(size_t n, size_t align)
{
    if (align < 16)
        align = 16;
    size_t at = (g_boot_used + align - 1) & ~(align - 1);
    if (at + n > sizeof g_boot)
        return nullptr;
    g_boot_used = at + n;
    return g_boot + at; // static storage: already zero
}

bool resolve_alloc()
{
    if (g_real.free_)
        return true;
    if (g_resolving)
        return false;
    g_resolving = true;
    RealAlloc r;
    r.malloc_ = next_fn<malloc_t>("malloc");
    r.calloc_ = next_fn<calloc_t>("calloc");
    r.realloc_ = next_fn<realloc_t>("realloc");
    r.posix_memalign_ = next_fn<memalign_t>("posix_memalign");
    r.aligned_alloc_ = next_fn<aligned_t>("aligned_alloc");
    r.memalign_ = next_fn<aligned_t>("memalign");
    r.free_ = next_fn<free_t>("free");
    g_real = r;
    g_resolving = false;
    return g_real.free_ != nullptr;
}

void *alloc_plain(size_t n) { return resolve_alloc() ? g_real.malloc_(n) : boot_alloc(n, 16); }

void *alloc_aligned(size_t n, size_t align)
{
    if (!resolve_alloc())
        return boot_alloc(n, align);
    void *p = nullptr;
    return g_real.posix_memalign_(&p, align < sizeof(void *) ? sizeof(void *) : align, n) == 0 ? p : nullptr;
}

void release(void *p)
{
    if (!p || from_boot(p))
        return;
    if (resolve_alloc())
        g_real.free_(p);
}

} // namespace

extern "C" {

void *malloc(size_t n) noexcept
{
    note("malloc");
    return alloc_plain(n);
}

void *calloc(size_t count, size_t size) noexcept
{
    note("calloc");
    if (!resolve_alloc())
        return size && count > SIZE_MAX / size ? nullptr : boot_alloc(count * size, 16);
    return g_real.calloc_(count, size);
}

void *realloc(void *p, size_t n) noexcept
{
    note("realloc");
    if (p && from_boot(p)) {
        // Its size is unknown; copying up to the end of the buffer is enough.
        void *q = alloc_plain(n);
        const size_t avail = static_cast<size_t>(g_boot + sizeof g_boot - static_cast<unsigned char *>(p));
        if (q)
            std::memcpy(q, p, n < avail ? n : avail);
        return q;
    }
    if (!resolve_alloc())
        return p ? nullptr : boot_alloc(n, 16);
    return g_real.realloc_(p, n);
}

void free(void *p) noexcept
{
    note("free");
    release(p);
}

int posix_memalign(void **out, size_t align, size_t n) noexcept
{
    note("posix_memalign");
    if (!resolve_alloc()) {
        *out = boot_alloc(n, align);
        return *out ? 0 : ENOMEM;
    }
    return g_real.posix_memalign_(out, align, n);
}

void *aligned_alloc(size_t align, size_t n) noexcept
{
    note("aligned_alloc");
    return resolve_alloc() ? g_real.aligned_alloc_(align, n) : boot_alloc(n, align);
}

void *memalign(size_t align, size_t n) noexcept
{
    note("memalign");
    return resolve_alloc() ? g_real.memalign_(align, n) : boot_alloc(n, align);
}

// ---- locks and waits ---------------------------------------------------------------------

int pthread_mutex_lock(pthread_mutex_t *m) noexcept
{
    note("pthread_mutex_lock");
    return NEXT(pthread_mutex_lock)(m);
}

int pthread_mutex_trylock(pthread_mutex_t *m) noexcept
{
    note("pthread_mutex_trylock");
    return NEXT(pthread_mutex_trylock)(m);
}

int pthread_mutex_timedlock(pthread_mutex_t *m, const struct timespec *t) noexcept
{
    note("pthread_mutex_timedlock");
    return NEXT(pthread_mutex_timedlock)(m, t);
}

int pthread_mutex_unlock(pthread_mutex_t *m) noexcept
{
    note("pthread_mutex_unlock");
    return NEXT(pthread_mutex_unlock)(m);
}

int pthread_rwlock_rdlock(pthread_rwlock_t *l) noexcept
{
    note("pthread_rwlock_rdlock");
    return NEXT(pthread_rwlock_rdlock)(l);
}

int pthread_rwlock_wrlock(pthread_rwlock_t *l) noexcept
{
    note("pthread_rwlock_wrlock");
    return NEXT(pthread_rwlock_wrlock)(l);
}

int pthread_spin_lock(pthread_spinlock_t *l) noexcept
{
    note("pthread_spin_lock");
    return NEXT(pthread_spin_lock)(l);
}

int pthread_cond_wait(pthread_cond_t *c, pthread_mutex_t *m)
{
    note("pthread_cond_wait");
    static auto real = next_fn_versioned<decltype(&::pthread_cond_wait)>("pthread_cond_wait", "GLIBC_2.3.2");
    return real(c, m);
}

int pthread_cond_timedwait(pthread_cond_t *c, pthread_mutex_t *m, const struct timespec *t)
{
    note("pthread_cond_timedwait");
    static auto real = next_fn_versioned<decltype(&::pthread_cond_timedwait)>("pthread_cond_timedwait", "GLIBC_2.3.2");
    return real(c, m, t);
}

int pthread_cond_signal(pthread_cond_t *c) noexcept
{
    note("pthread_cond_signal");
    static auto real = next_fn_versioned<decltype(&::pthread_cond_signal)>("pthread_cond_signal", "GLIBC_2.3.2");
    return real(c);
}

int pthread_cond_broadcast(pthread_cond_t *c) noexcept
{
    note("pthread_cond_broadcast");
    static auto real = next_fn_versioned<decltype(&::pthread_cond_broadcast)>("pthread_cond_broadcast", "GLIBC_2.3.2");
    return real(c);
}

int sem_wait(sem_t *s)
{
    note("sem_wait");
    return NEXT(sem_wait)(s);
}

int sem_timedwait(sem_t *s, const struct timespec *t)
{
    note("sem_timedwait");
    return NEXT(sem_timedwait)(s, t);
}

int sem_post(sem_t *s) noexcept
{
    note("sem_post");
    return NEXT(sem_post)(s);
}

int pthread_create(pthread_t *t, const pthread_attr_t *a, void *(*fn)(void *), void *arg) noexcept
{
    note("pthread_create");
    return NEXT(pthread_create)(t, a, fn, arg);
}

// ---- sleeping and yielding -----------------------------------------------------------------

int nanosleep(const struct timespec *req, struct timespec *rem)
{
    note("nanosleep");
    return NEXT(nanosleep)(req, rem);
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec *req, struct timespec *rem)
{
    note("clock_nanosleep");
    return NEXT(clock_nanosleep)(clock, flags, req, rem);
}

int usleep(useconds_t us)
{
    note("usleep");
    return NEXT(usleep)(us);
}

unsigned int sleep(unsigned int s)
{
    note("sleep");
    return NEXT(sleep)(s);
}

int sched_yield(void) noexcept
{
    note("sched_yield");
    return NEXT(sched_yield)();
}

// ---- system calls and what reaches them -------------------------------------------------------

long syscall(long number, ...) noexcept
{
    note("syscall");
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (long &x : a)
        x = va_arg(ap, long);
    va_end(ap);
    return NEXT(syscall)(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

ssize_t write(int fd, const void *buf, size_t n)
{
    note("write");
    return NEXT(write)(fd, buf, n);
}

ssize_t read(int fd, void *buf, size_t n)
{
    note("read");
    return NEXT(read)(fd, buf, n);
}

int open(const char *path, int flags, ...)
{
    note("open");
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    return NEXT(open)(path, flags, mode);
}

int openat(int dir, const char *path, int flags, ...)
{
    note("openat");
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    return NEXT(openat)(dir, path, flags, mode);
}

int close(int fd)
{
    note("close");
    return NEXT(close)(fd);
}

int ioctl(int fd, unsigned long request, ...) noexcept
{
    note("ioctl");
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return NEXT(ioctl)(fd, request, arg);
}

void *mmap(void *addr, size_t n, int prot, int flags, int fd, off_t off) noexcept
{
    note("mmap");
    return NEXT(mmap)(addr, n, prot, flags, fd, off);
}

int munmap(void *addr, size_t n) noexcept
{
    note("munmap");
    return NEXT(munmap)(addr, n);
}

// The C library's own stream output reaches write() through internal
// aliases, so the stream calls are trapped themselves.
FILE *fopen(const char *path, const char *mode)
{
    note("fopen");
    return NEXT(fopen)(path, mode);
}

size_t fwrite(const void *p, size_t size, size_t n, FILE *f)
{
    note("fwrite");
    return NEXT(fwrite)(p, size, n, f);
}

int fputs(const char *s, FILE *f)
{
    note("fputs");
    return NEXT(fputs)(s, f);
}

int puts(const char *s)
{
    note("puts");
    return NEXT(puts)(s);
}

int fflush(FILE *f)
{
    note("fflush");
    return NEXT(fflush)(f);
}

int vfprintf(FILE *f, const char *fmt, va_list ap)
{
    note("vfprintf");
    return NEXT(vfprintf)(f, fmt, ap);
}

int fprintf(FILE *f, const char *fmt, ...)
{
    note("fprintf");
    va_list ap;
    va_start(ap, fmt);
    const int r = NEXT(vfprintf)(f, fmt, ap);
    va_end(ap);
    return r;
}

int printf(const char *fmt, ...)
{
    note("printf");
    va_list ap;
    va_start(ap, fmt);
    const int r = NEXT(vfprintf)(stdout, fmt, ap);
    va_end(ap);
    return r;
}

} // extern "C"

// ---- the C++ allocation functions ----------------------------------------------------------

namespace {

void *new_plain(const char *name, size_t n)
{
    note(name);
    void *p = alloc_plain(n ? n : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}

void *new_aligned(const char *name, size_t n, std::align_val_t a)
{
    note(name);
    void *p = alloc_aligned(n ? n : 1, static_cast<size_t>(a));
    if (!p)
        throw std::bad_alloc();
    return p;
}

void *new_nothrow(const char *name, size_t n, size_t align) noexcept
{
    note(name);
    return align ? alloc_aligned(n ? n : 1, align) : alloc_plain(n ? n : 1);
}

void del(const char *name, void *p) noexcept
{
    note(name);
    release(p);
}

} // namespace

void *operator new(size_t n) { return new_plain("operator new", n); }
void *operator new[](size_t n) { return new_plain("operator new[]", n); }
void *operator new(size_t n, std::align_val_t a) { return new_aligned("operator new", n, a); }
void *operator new[](size_t n, std::align_val_t a) { return new_aligned("operator new[]", n, a); }
void *operator new(size_t n, const std::nothrow_t &) noexcept { return new_nothrow("operator new", n, 0); }
void *operator new[](size_t n, const std::nothrow_t &) noexcept { return new_nothrow("operator new[]", n, 0); }
void *operator new(size_t n, std::align_val_t a, const std::nothrow_t &) noexcept
{
    return new_nothrow("operator new", n, static_cast<size_t>(a));
}
void *operator new[](size_t n, std::align_val_t a, const std::nothrow_t &) noexcept
{
    return new_nothrow("operator new[]", n, static_cast<size_t>(a));
}

void operator delete(void *p) noexcept { del("operator delete", p); }
void operator delete[](void *p) noexcept { del("operator delete[]", p); }
void operator delete(void *p, size_t) noexcept { del("operator delete", p); }
void operator delete[](void *p, size_t) noexcept { del("operator delete[]", p); }
void operator delete(void *p, std::align_val_t) noexcept { del("operator delete", p); }
void operator delete[](void *p, std::align_val_t) noexcept { del("operator delete[]", p); }
void operator delete(void *p, size_t, std::align_val_t) noexcept { del("operator delete", p); }
void operator delete[](void *p, size_t, std::align_val_t) noexcept { del("operator delete[]", p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { del("operator delete", p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { del("operator delete[]", p); }
void operator delete(void *p, std::align_val_t, const std::nothrow_t &) noexcept { del("operator delete", p); }
void operator delete[](void *p, std::align_val_t, const std::nothrow_t &) noexcept { del("operator delete[]", p); }

// ---- control ------------------------------------------------------------------------------

namespace rt_trap {

void arm() { t_armed = true; }
void disarm() { t_armed = false; }
bool armed() { return t_armed; }

int hit_count() { return g_count.load(std::memory_order_relaxed); }

const char *hit(int i) { return i >= 0 && i < hit_count() && i < kMaxHits ? g_hits[i] : nullptr; }

void clear() { g_count.store(0, std::memory_order_relaxed); }

std::string names()
{
    std::string s;
    const int n = hit_count();
    for (int i = 0; i < n && i < kMaxHits; ++i) {
        if (!s.empty())
            s += ", ";
        s += g_hits[i];
    }
    if (n > kMaxHits)
        s += ", ... (" + std::to_string(n) + " in all)";
    return s;
}

} // namespace rt_trap
