// Release builds link the C++ runtime statically (so that the modules need
// no newer libstdc++ than an old system has).  The runtime, built against
// this machine's glibc, refers to a few symbols that only newer glibc
// versions have; this file gives the module its own, so that it loads on
// glibc 2.28:
//  - __libc_single_threaded (2.32): read to skip atomic reference counts in
//    single-threaded processes; 0 keeps the atomic path, right in every case.
//  - arc4random (2.36): std::random_device's source; getrandom (2.25) here.
//  - pthread_once, __pthread_key_create (2.34, when they moved into libc):
//    forwarded to the same functions under their first version, which every
//    glibc still exports.
// No header declares these here, so that their declarations cannot clash.
#include <cerrno>
#include <cstddef>
#include <cstdint>

#if !defined(__x86_64__) || !defined(__GLIBC__)
#error "ORVEX_STATIC_RUNTIME: the versions named below are x86_64 glibc's"
#endif

#define ORVEX_LOCAL __attribute__((visibility("hidden")))

extern "C" {

ORVEX_LOCAL char __libc_single_threaded = 0;

long getrandom(void* buffer, std::size_t length, unsigned int flags);

ORVEX_LOCAL std::uint32_t arc4random(void) {
    std::uint32_t value = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(&value);
    std::size_t done = 0;
    while (done < sizeof value) {
        long got = getrandom(bytes + done, sizeof value - done, 0);
        if (got > 0) done += static_cast<std::size_t>(got);
        else if (got < 0 && errno != EINTR) __builtin_trap();
    }
    return value;
}

int orvex_pthread_once_v1(int* control, void (*init)(void));
int orvex_pthread_key_create_v1(unsigned int* key, void (*destructor)(void*));
__asm__(".symver orvex_pthread_once_v1, pthread_once@GLIBC_2.2.5");
__asm__(".symver orvex_pthread_key_create_v1, __pthread_key_create@GLIBC_2.2.5");

ORVEX_LOCAL int pthread_once(int* control, void (*init)(void)) {
    return orvex_pthread_once_v1(control, init);
}

ORVEX_LOCAL int __pthread_key_create(unsigned int* key, void (*destructor)(void*)) {
    return orvex_pthread_key_create_v1(key, destructor);
}

}  // extern "C"
