#include "foundation/crashhandler.h"

#include <QDebug>
#include <QFile>

#include <backward.hpp>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

// Everything the signal handler needs is prepared at install time: a crashed process
// must not allocate its way to a file name.
namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
// The symboliser runs on this stack; it needs about a megabyte.
constexpr size_t kAltStackSize = 1 << 20;

char dumpPath[4096];
char reportHeader[256];
std::atomic_flag handling = ATOMIC_FLAG_INIT;

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

void writeReport(int fd, int sig, siginfo_t* info, void* context)
{
    char line[512];
    const int len = snprintf(line, sizeof line,
                             "%ssignal: %s (%d)\nfault address: %p\nthread: %ld\n\nbacktrace:\n",
                             reportHeader, signalName(sig), sig, info ? info->si_addr : nullptr,
                             static_cast<long>(syscall(SYS_gettid)));
    if (len > 0 && write(fd, line, static_cast<size_t>(len)) < 0)
        return;

    backward::StackTrace trace;
    if (void* pc = context ? faultingInstruction(context) : nullptr)
        trace.load_from(pc, 64, context, info ? info->si_addr : nullptr);
    else
        trace.load_here(64, context, info ? info->si_addr : nullptr);

    if (FILE* out = fdopen(fd, "w")) {
        backward::Printer printer;
        printer.address = true;
        printer.object = true;
        printer.snippet = false;
        printer.color_mode = backward::ColorMode::never;
        printer.print(trace, out);
        fclose(out);
        return;
    }
    close(fd);
}

void onFatalSignal(int sig, siginfo_t* info, void* context)
{
    if (!handling.test_and_set()) {
        const int fd = open(dumpPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0)
            writeReport(fd, sig, info, context);
        qDebug() << "BreakpadQt crash";
    }
    // The report stands in for the system's own crash handling: end here, without a core.
    _exit(128 + sig);
}

} // namespace

bool CrashHandler::install(const QString& folder)
{
    const QByteArray path = QFile::encodeName(folder + QLatin1Char('/') + newGuid() + QStringLiteral(".dmp"));
    if (static_cast<size_t>(path.size()) >= sizeof dumpPath)
        return false;
    memcpy(dumpPath, path.constData(), static_cast<size_t>(path.size()) + 1);
    snprintf(reportHeader, sizeof reportHeader, "program: vellox %s\npid: %d\n", VELLOX_VERSION,
             static_cast<int>(getpid()));

    static void* altStack = nullptr;
    if (!altStack) {
        altStack = malloc(kAltStackSize);
        stack_t stack {};
        stack.ss_sp = altStack;
        stack.ss_size = kAltStackSize;
        sigaltstack(&stack, nullptr);
    }

    struct sigaction action {};
    action.sa_sigaction = onFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int sig : kFatalSignals)
        sigaction(sig, &action, nullptr);
    return true;
}
