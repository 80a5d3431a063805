#include "crashhandler.h"

#include "fdwrite.h"
#include "http_singleton.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QUuid>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int kSignalCount = sizeof(kSignals) / sizeof(kSignals[0]);
constexpr size_t kAltStackSize = 256 * 1024;
constexpr size_t kMaxMapsBytes = 8 * 1024 * 1024;

// Everything below is written by start() while the handler is disarmed and
// only read by the handler.
char g_partialPath[PATH_MAX];
char g_finalPath[PATH_MAX];
char g_header[512];
size_t g_headerLength = 0;
struct sigaction g_previous[kSignalCount];
char g_mapsBuffer[4096];

std::atomic<bool> g_armed{false};
std::atomic<long> g_handlingThread{0};
// The signal being reported and the dump file while it is open, for the
// handler's own nested fault.
volatile sig_atomic_t g_handlingSignal = 0;
volatile sig_atomic_t g_dumpFd = -1;

// Owned by start()/stop() on ordinary threads.
QMutex g_controlMutex;
bool g_installed = false;
bool g_haveAltStack = false;
QString g_reportsFolder;

const char *signalName(int sig)
{
    switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGABRT: return "SIGABRT";
    default: return "?";
    }
}

// A small append-only text buffer on the caller's stack; never allocates.
struct Text
{
    char data[512];
    size_t length = 0;

    void add(const char *s)
    {
        while (*s && length < sizeof(data))
            data[length++] = *s++;
    }
    void addUnsigned(unsigned long long v, unsigned base = 10, int minDigits = 1)
    {
        char digits[32];
        int n = 0;
        do {
            const unsigned d = static_cast<unsigned>(v % base);
            digits[n++] = static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10);
            v /= base;
        } while (v != 0 && n < 32);
        while (n < minDigits && n < 32)
            digits[n++] = '0';
        while (n > 0 && length < sizeof(data))
            data[length++] = digits[--n];
    }
    void addSigned(long long v)
    {
        if (v < 0) {
            add("-");
            addUnsigned(static_cast<unsigned long long>(-(v + 1)) + 1);
        } else {
            addUnsigned(static_cast<unsigned long long>(v));
        }
    }
    void addHex(unsigned long long v)
    {
        add("0x");
        addUnsigned(v, 16);
    }
};

bool writeText(int fd, const Text &t) { return writeAllToFd(fd, t.data, t.length); }

// Civil date from days since 1970-01-01 (proleptic Gregorian), pure
// arithmetic so that it is safe inside the handler.
void addUtcTime(Text &t, long long seconds)
{
    long long days = seconds / 86400;
    long long rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long doe = days - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long year = yoe + era * 400;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const long long day = doy - (153 * mp + 2) / 5 + 1;
    const long long month = mp < 10 ? mp + 3 : mp - 9;
    if (month <= 2)
        ++year;
    t.addSigned(year);
    t.add("-");
    t.addUnsigned(static_cast<unsigned long long>(month), 10, 2);
    t.add("-");
    t.addUnsigned(static_cast<unsigned long long>(day), 10, 2);
    t.add(" ");
    t.addUnsigned(static_cast<unsigned long long>(rest / 3600), 10, 2);
    t.add(":");
    t.addUnsigned(static_cast<unsigned long long>(rest / 60 % 60), 10, 2);
    t.add(":");
    t.addUnsigned(static_cast<unsigned long long>(rest % 60), 10, 2);
    t.add(" UTC");
}

void copyMemoryMap(int out)
{
    const int in = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return;
    size_t total = 0;
    for (;;) {
        const ssize_t n = ::read(in, g_mapsBuffer, sizeof(g_mapsBuffer));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (!writeAllToFd(out, g_mapsBuffer, static_cast<size_t>(n)))
            break;
        total += static_cast<size_t>(n);
        if (total >= kMaxMapsBytes)
            break;
    }
    ::close(in);
}

// Adds "N (NAME)" for a signal.
void addSignal(Text &t, int sig)
{
    t.addSigned(sig);
    t.add(" (");
    t.add(signalName(sig));
    t.add(")");
}

// Closes the dump file on disk: a complete dump takes its final name, a
// failed one is removed. Only system calls, safe inside the handler.
void closeDump(int fd, bool ok)
{
    ::fsync(fd);
    ::close(fd);
    if (ok)
        ::rename(g_partialPath, g_finalPath);
    else
        ::unlink(g_partialPath);
}

// The instruction that faulted, from the signal context: the one address
// that does not depend on unwinding the stack.
unsigned long long programCounter(const void *context)
{
    if (!context)
        return 0;
    const auto *uc = static_cast<const ucontext_t *>(context);
#if defined(__x86_64__)
    return static_cast<unsigned long long>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    return static_cast<unsigned long long>(uc->uc_mcontext.pc);
#else
    (void)uc;
    return 0;
#endif
}

// Everything that needs no unwinding comes first (the fault, the program
// counter, the memory map), the backtrace last: unwinding from an invalid
// program counter or a smashed stack can fault inside the handler, and what
// is written by then stays in the dump.
void writeDump(int sig, const siginfo_t *info, const void *context)
{
    const int fd = ::open(g_partialPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    g_dumpFd = fd;

    Text t;
    t.add("signal: ");
    addSignal(t, sig);
    t.add("\ncode: ");
    t.addSigned(info ? info->si_code : 0);
    t.add("\n");
    if (info && sig != SIGABRT) {
        t.add("fault address: ");
        t.addHex(reinterpret_cast<unsigned long long>(info->si_addr));
        t.add("\n");
    }
    if (const unsigned long long pc = programCounter(context)) {
        t.add("program counter: ");
        t.addHex(pc);
        t.add("\n");
    }
    if (info && info->si_code <= 0) {
        t.add("sent by pid: ");
        t.addSigned(info->si_pid);
        t.add("\n");
    }
    t.add("pid: ");
    t.addSigned(::getpid());
    t.add("\nthread: ");
    t.addSigned(::syscall(SYS_gettid));
    t.add("\ntime: ");
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    addUtcTime(t, now.tv_sec);
    t.add(" (");
    t.addSigned(now.tv_sec);
    t.add(")\nmemory map:\n");

    bool ok = writeAllToFd(fd, g_header, g_headerLength) && writeText(fd, t);
    if (ok) {
        copyMemoryMap(fd);
        ok = writeAllToFd(fd, "backtrace:\n", 11);
    }
    if (ok) {
        void *frames[128];
        const int count = ::backtrace(frames, 128);
        if (count > 0)
            ::backtrace_symbols_fd(frames, count, fd);
        ok = writeAllToFd(fd, "end of dump\n", 12);
    }
    g_dumpFd = -1;
    closeDump(fd, ok);
}

// The handler faulted while writing (typically unwinding a smashed stack):
// what is already written still tells the crash, so the dump is closed with
// a note and given its final name rather than lost.
void finishCutShortDump(int sig)
{
    const int fd = g_dumpFd;
    if (fd < 0)
        return;
    g_dumpFd = -1;
    Text t;
    t.add("\ndump cut short by signal ");
    addSignal(t, sig);
    t.add(" inside the crash handler\nend of dump\n");
    closeDump(fd, writeText(fd, t));
}

void dieWith(int sig)
{
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(sig, &dfl, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(sig);
    // A fault re-executes on return and now takes the default action.
}

void onFatalSignal(int sig, siginfo_t *info, void *context)
{
    const int savedErrno = errno;
    if (!g_armed.load()) {
        dieWith(sig);
        errno = savedErrno;
        return;
    }
    const long self = ::syscall(SYS_gettid);
    long expected = 0;
    if (!g_handlingThread.compare_exchange_strong(expected, self)) {
        if (expected == self) {
            // The handler itself faulted: keep what the dump has and die of
            // the signal that was being reported.
            finishCutShortDump(sig);
            const int original = g_handlingSignal;
            dieWith(original != 0 ? original : sig);
            errno = savedErrno;
            return;
        }
        // Another thread is writing the dump; it ends the process when done.
        for (;;)
            ::pause();
    }
    g_handlingSignal = sig;
    writeDump(sig, info, context);
    dieWith(sig);
    errno = savedErrno;
}

bool copyPath(char *target, size_t size, const QString &path)
{
    const QByteArray bytes = QFile::encodeName(path);
    if (bytes.isEmpty() || static_cast<size_t>(bytes.size()) >= size)
        return false;
    std::memcpy(target, bytes.constData(), static_cast<size_t>(bytes.size()));
    target[bytes.size()] = '\0';
    return true;
}

bool ensureAltStack()
{
    if (g_haveAltStack)
        return true;
    stack_t current {};
    if (::sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE) &&
        current.ss_size >= kAltStackSize / 4) {
        // Someone (a sanitizer, a test harness) already gave this thread one.
        g_haveAltStack = true;
        return true;
    }
    // Static storage: the stack lives as long as the process, and only the
    // kernel would otherwise hold its address (a leak to the leak checker).
    alignas(16) static char altStack[kAltStackSize];
    stack_t stack {};
    stack.ss_sp = altStack;
    stack.ss_size = kAltStackSize;
    stack.ss_flags = 0;
    if (::sigaltstack(&stack, nullptr) != 0)
        return false;
    g_haveAltStack = true;
    return true;
}

} // namespace

namespace ZuCrashHandler {

bool start(const QString &userFolder)
{
    if (userFolder.isEmpty())
        return false;
    const QString root = userFolder + QStringLiteral("/crash_reports");
    const QString reports = root + QStringLiteral("/reports");
    QDir dir;
    if (!dir.mkpath(root) || !dir.mkpath(root + QStringLiteral("/metrics")) || !dir.mkpath(reports))
        return false;

    // A dump whose writing was cut short (the process was killed while its
    // handler ran) never gets its final name; clear those away, but leave
    // alone one that another running instance may be writing right now.
    const QDateTime staleBefore = QDateTime::currentDateTime().addSecs(-60);
    const QFileInfoList partials = QDir(reports).entryInfoList(
        {QStringLiteral("*") + QLatin1String(kPartialSuffix)}, QDir::Files | QDir::Hidden);
    for (const QFileInfo &f : partials) {
        if (f.lastModified() < staleBefore)
            QFile::remove(f.absoluteFilePath());
    }

    // A uuid has no dots, so the dump's base name is the whole name.
    const QString name = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QString finalPath = reports + QLatin1Char('/') + name + QStringLiteral(".dmp");
    const QString partialPath = reports + QLatin1Char('/') + name + QLatin1String(kPartialSuffix);

    QMutexLocker lock(&g_controlMutex);
    char finalBuf[PATH_MAX];
    char partialBuf[PATH_MAX];
    if (!copyPath(finalBuf, sizeof(finalBuf), finalPath) ||
        !copyPath(partialBuf, sizeof(partialBuf), partialPath))
        return false;

    // The first unwind loads the unwinder library, which allocates: do it
    // now rather than inside the handler.
    void *frames[4];
    ::backtrace(frames, 4);

    if (!ensureAltStack())
        return false;

    g_armed.store(false);
    std::memcpy(g_finalPath, finalBuf, sizeof(g_finalPath));
    std::memcpy(g_partialPath, partialBuf, sizeof(g_partialPath));
    const Http_singleton *app = Http_singleton::instance();
    const QByteArray header = (app->productName() + QStringLiteral(" crash dump\nversion: ") +
                               app->appVersion() + QLatin1Char('\n'))
                                  .toUtf8()
                                  .left(static_cast<int>(sizeof(g_header)));
    std::memcpy(g_header, header.constData(), static_cast<size_t>(header.size()));
    g_headerLength = static_cast<size_t>(header.size());

    if (!g_installed) {
        struct sigaction action {};
        action.sa_sigaction = onFatalSignal;
        // The fault signals stay unblocked inside the handler: a fault of the
        // handler itself must come back to it (a blocked synchronous fault
        // kills the process on the spot and the dump would be lost). SIGABRT,
        // never synchronous, waits.
        action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        sigaddset(&action.sa_mask, SIGABRT);
        for (int i = 0; i < kSignalCount; ++i) {
            if (::sigaction(kSignals[i], &action, &g_previous[i]) != 0) {
                for (int j = 0; j < i; ++j)
                    ::sigaction(kSignals[j], &g_previous[j], nullptr);
                return false;
            }
        }
        g_installed = true;
    }
    g_reportsFolder = reports;
    g_armed.store(true);
    return true;
}

void stop()
{
    QMutexLocker lock(&g_controlMutex);
    g_armed.store(false);
    if (!g_installed)
        return;
    for (int i = 0; i < kSignalCount; ++i)
        ::sigaction(kSignals[i], &g_previous[i], nullptr);
    g_installed = false;
    g_reportsFolder.clear();
}

bool isStarted()
{
    QMutexLocker lock(&g_controlMutex);
    return g_installed && g_armed.load();
}

QString reportsFolder()
{
    QMutexLocker lock(&g_controlMutex);
    return g_reportsFolder;
}

} // namespace ZuCrashHandler
