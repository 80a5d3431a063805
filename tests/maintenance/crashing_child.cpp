// Starts the crash handler in the per-user folder below $HOME, then crashes
// in the way its argument names; the crash tests look at what it leaves.
#include "crashhandler.h"
#include "http_singleton.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {
int *volatile g_null = nullptr;
volatile bool g_stop = false;

// The fault itself, hidden from UndefinedBehaviorSanitizer, which would
// otherwise end the process first in the sanitizer build.
__attribute__((noinline, no_sanitize("undefined"))) void writeNull(int value)
{
    *g_null = value;
}

// Jumps to an address where no code is: the program counter itself is
// invalid, and unwinding from it reads there.
__attribute__((noinline, no_sanitize("undefined"))) void jumpNowhere()
{
    using Fn = void (*)();
    const Fn nowhere = reinterpret_cast<Fn>(static_cast<uintptr_t>(0x1234560));
    nowhere();
}

int recurse(volatile char *previous)
{
    volatile char frame[2048];
    frame[0] = static_cast<char>(previous ? previous[0] + 1 : 0);
    if (g_stop)
        return frame[0];
    return recurse(frame) + frame[1];
}

// Faults with the stack pointer cleared: unwinding from the handler then
// reads unmapped memory, so the handler itself faults while it writes.
[[noreturn]] void crashWithStackPointerGone()
{
#if defined(__x86_64__)
    asm volatile("xor %%esp, %%esp\n\tud2" ::: "memory");
#elif defined(__aarch64__)
    asm volatile("mov x9, #0\n\tmov sp, x9\n\tudf #0" ::: "x9", "memory");
#endif
    __builtin_trap();
}

// Several threads fault at the same moment; one dump must come out.
void crashInThreads(int count)
{
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([&ready, count] {
            ready.fetch_add(1);
            while (ready.load() < count) {
            }
            writeNull(1);
        });
    }
    for (std::thread &t : threads)
        t.join();
}
} // namespace

int main(int argc, char **argv)
{
    Http_singleton *app = Http_singleton::instance();
    if (argc < 2 || !app->ensureUserFolder() || !ZuCrashHandler::start(app->userFolderPath()))
        return 2;
    const char *mode = argv[1];
    if (!std::strcmp(mode, "segv"))
        writeNull(42);
    else if (!std::strcmp(mode, "abort"))
        std::abort();
    else if (!std::strcmp(mode, "stack"))
        return recurse(nullptr);
    else if (!std::strcmp(mode, "threads"))
        crashInThreads(4);
    else if (!std::strcmp(mode, "badpc"))
        jumpNowhere();
    else if (!std::strcmp(mode, "nostack"))
        crashWithStackPointerGone();
    return 0;
}
