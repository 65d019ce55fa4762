#include "foundation/crashhandler.h"

#include <QString>
#include <QUuid>

#include <backward.hpp>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <new>
#include <ostream>
#include <pthread.h>
#include <streambuf>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

// A crashed process may hold any lock, the heap's included. The handler therefore writes the
// facts of the crash (signal, address, thread, the raw frames) with write(2) alone, and only
// then symbolises the frames, which allocates; an alarm ends the process should that hang.
// Everything it needs is prepared at install time.
namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
// The symboliser runs on this stack; it needs about a megabyte.
constexpr size_t kAltStackSize = 1 << 20;
constexpr int kMaxFrames = 64;
// Long enough to symbolise a deep trace on a busy machine; a hung handler ends after it.
constexpr unsigned kHandlerDeadlineSec = 10;

char dumpPath[4096];
char reportHeader[256];
std::atomic<bool> handlerInstalled {false};
// The thread that is writing the report; 0 while no thread has crashed.
std::atomic<long> crashingThread {0};

long currentThreadId()
{
    return static_cast<long>(syscall(SYS_gettid));
}

const char* signalName(int sig)
{
    switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    case SIGABRT: return "SIGABRT";
    default: return "signal";
    }
}

void* faultingInstruction(void* context)
{
#if defined(__x86_64__)
    return reinterpret_cast<void*>(static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
    return reinterpret_cast<void*>(static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_EIP]);
#elif defined(__aarch64__)
    return reinterpret_cast<void*>(static_cast<ucontext_t*>(context)->uc_mcontext.pc);
#else
    (void)context;
    return nullptr;
#endif
}

// --- writing with write(2) only: no locale, no stdio, no heap ---

void writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written <= 0)
            return;
        data += written;
        size -= static_cast<size_t>(written);
    }
}

class RawWriter {
public:
    explicit RawWriter(int fd) : fd(fd) {}

    RawWriter& text(const char* s)
    {
        put(s, strlen(s));
        return *this;
    }
    RawWriter& number(unsigned long value)
    {
        char digits[24];
        size_t n = 0;
        do {
            digits[sizeof digits - 1 - n++] = char('0' + value % 10);
            value /= 10;
        } while (value && n < sizeof digits);
        put(digits + sizeof digits - n, n);
        return *this;
    }
    RawWriter& hex(const void* pointer)
    {
        auto value = reinterpret_cast<uintptr_t>(pointer);
        char digits[2 + 2 * sizeof value];
        size_t n = 0;
        do {
            digits[sizeof digits - 1 - n++] = "0123456789abcdef"[value & 0xf];
            value >>= 4;
        } while (value);
        digits[sizeof digits - 1 - n++] = 'x';
        digits[sizeof digits - 1 - n++] = '0';
        put(digits + sizeof digits - n, n);
        return *this;
    }

private:
    void put(const char* data, size_t size) { writeAll(fd, data, size); }

    int fd;
};

// The symbolised trace goes to the report through write(2) too, never through a FILE.
class DescriptorBuffer : public std::streambuf {
public:
    explicit DescriptorBuffer(int fd) : fd(fd) { setp(buffer, buffer + sizeof buffer); }
    ~DescriptorBuffer() override { sync(); }

protected:
    int_type overflow(int_type c) override
    {
        sync();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override
    {
        writeAll(fd, pbase(), static_cast<size_t>(pptr() - pbase()));
        setp(buffer, buffer + sizeof buffer);
        return 0;
    }

private:
    int fd;
    char buffer[4096];
};

void armDeadline()
{
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(SIGALRM, &fallback, nullptr);
    sigset_t alarmOnly;
    sigemptyset(&alarmOnly);
    sigaddset(&alarmOnly, SIGALRM);
    pthread_sigmask(SIG_UNBLOCK, &alarmOnly, nullptr);
    alarm(kHandlerDeadlineSec);
}

void writeReport(int fd, int sig, siginfo_t* info, void* context)
{
    RawWriter out(fd);
    out.text(reportHeader).text("signal: ").text(signalName(sig)).text(" (").number(unsigned(sig))
        .text(")\nfault address: ").hex(info ? info->si_addr : nullptr)
        .text("\nthread: ").number(static_cast<unsigned long>(currentThreadId())).text("\n\n");

    // The raw frames into a fixed array (the unwinder was loaded at install): they are on record
    // before anything can allocate.
    static void* frames[kMaxFrames];
    const int count = backtrace(frames, kMaxFrames);
    out.text("frames:\n");
    for (int i = 0; i < count; ++i)
        out.text("  #").number(static_cast<unsigned long>(i)).text(" ").hex(frames[i]).text("\n");

    // From here on the heap is used: a heap broken by the crash may hang this, and the alarm
    // then ends the process with the report above.
    backward::StackTrace trace;
    if (void* pc = context ? faultingInstruction(context) : nullptr)
        trace.load_from(pc, kMaxFrames, context, info ? info->si_addr : nullptr);
    else
        trace.load_here(kMaxFrames, context, info ? info->si_addr : nullptr);
    out.text("\nbacktrace:\n");
    DescriptorBuffer buffer(fd);
    std::ostream stream(&buffer);
    backward::Printer printer;
    printer.address = true;
    printer.object = true;
    printer.snippet = false;
    printer.color_mode = backward::ColorMode::never;
    printer.print(trace, stream);
}

void onFatalSignal(int sig, siginfo_t* info, void* context)
{
    const long self = currentThreadId();
    long expected = 0;
    if (!crashingThread.compare_exchange_strong(expected, self)) {
        // The handler itself crashed: what it wrote so far is the report.
        if (expected == self)
            _exit(128 + sig);
        // Another thread is writing the report and ends the process when it is done.
        for (;;)
            pause();
    }
    armDeadline();
    RawWriter(STDERR_FILENO).text("BreakpadQt crash\n");
    const int fd = open(dumpPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
        writeReport(fd, sig, info, context);
        close(fd);
    }
    // The report stands in for the system's own crash handling: end here, without a core.
    _exit(128 + sig);
}

// --- an alternate signal stack on every thread ---
//
// A thread that overflows its stack can run the handler only on a stack of its own. Threads
// come from Qt's pool, asio, libcurl and others, so every thread creation is wrapped to give
// the new thread one (Windows reaches the handler of any thread without this).

class ThreadAltStack {
public:
    ThreadAltStack()
    {
        void* memory = mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (memory == MAP_FAILED)
            return;
        stack_t stack {};
        stack.ss_sp = memory;
        stack.ss_size = kAltStackSize;
        if (sigaltstack(&stack, &previous) != 0) {
            munmap(memory, kAltStackSize);
            return;
        }
        base = memory;
    }
    ~ThreadAltStack()
    {
        if (!base)
            return;
        // Whoever had a stack installed before (a sanitizer's runtime) gets it back.
        sigaltstack(&previous, nullptr);
        munmap(base, kAltStackSize);
    }
    ThreadAltStack(const ThreadAltStack&) = delete;
    ThreadAltStack& operator=(const ThreadAltStack&) = delete;

private:
    void* base = nullptr;
    stack_t previous {};
};

void ensureAltStack()
{
    // Released when the thread ends, however it ends.
    thread_local ThreadAltStack stack;
}

using ThreadStart = void* (*)(void*);
using CreateThread = int (*)(pthread_t*, const pthread_attr_t*, ThreadStart, void*);

struct ThreadLaunch {
    ThreadStart start;
    void* argument;
};

void* startWithAltStack(void* launchData)
{
    const ThreadLaunch launch = *static_cast<ThreadLaunch*>(launchData);
    delete static_cast<ThreadLaunch*>(launchData);
    ensureAltStack();
    return launch.start(launch.argument);
}

} // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              ThreadStart start, void* argument)
{
    static const auto create = reinterpret_cast<CreateThread>(dlsym(RTLD_NEXT, "pthread_create"));
    if (!create)
        return EAGAIN;
    if (!handlerInstalled.load(std::memory_order_acquire))
        return create(thread, attributes, start, argument);
    auto* launch = new (std::nothrow) ThreadLaunch {start, argument};
    if (!launch)
        return create(thread, attributes, start, argument);
    const int result = create(thread, attributes, &startWithAltStack, launch);
    if (result != 0)
        delete launch;
    return result;
}

std::string CrashHandler::newGuid()
{
    const QUuid id = QUuid::createUuid();
    return guidText(id.data1, id.data2, id.data3, id.data4);
}

bool CrashHandler::install(const std::string& folder)
{
    const QByteArray path = QByteArray::fromStdString(folder + "/" + newGuid() + ".dmp");
    if (static_cast<size_t>(path.size()) >= sizeof dumpPath)
        return false;
    memcpy(dumpPath, path.constData(), static_cast<size_t>(path.size()) + 1);
    const QByteArray header = QStringLiteral("program: vellox %1\npid: %2\n")
                                  .arg(QStringLiteral(VELLOX_VERSION))
                                  .arg(getpid())
                                  .toUtf8();
    memcpy(reportHeader, header.constData(), std::min(sizeof reportHeader - 1, size_t(header.size())));

    // backtrace() loads the unwinder on its first call, which allocates: done now, not in the handler.
    void* warmUp[1];
    backtrace(warmUp, 1);
    ensureAltStack();
    handlerInstalled.store(true, std::memory_order_release);

    struct sigaction action {};
    action.sa_sigaction = onFatalSignal;
    // Not reset after the first signal: a second thread that crashes meanwhile must wait for
    // the report instead of ending the process in the middle of it.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int sig : kFatalSignals)
        sigaction(sig, &action, nullptr);
    return true;
}
