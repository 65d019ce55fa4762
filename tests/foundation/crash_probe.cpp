// Installs the agent's crash handler and then crashes in the way named on the command line.
#include "foundation/crashhandler.h"

#include <QCoreApplication>
#include <QRunnable>
#include <QString>
#include <QThreadPool>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

struct Shape {
    Shape() { callDraw(); } // a virtual call from the base constructor reaches the pure function
    virtual ~Shape() = default;
    virtual void draw() = 0;
    void callDraw() { draw(); }
};
struct Circle : Shape {
    void draw() override {}
};

// Not checked by UndefinedBehaviorSanitizer, which would end the program before the fault it is
// here to cause.
__attribute__((noinline, no_sanitize("undefined"))) void crashWithNullPointer()
{
    volatile int* nowhere = nullptr;
    *nowhere = 1;
}

__attribute__((noinline)) void crashWithPureVirtualCall()
{
    Circle circle;
    circle.draw();
}

// Deep enough to run out of any thread's stack.
__attribute__((noinline)) int recurseForever(int depth)
{
    volatile char frame[4096];
    frame[0] = char(depth);
    return recurseForever(depth + 1) + frame[0];
}

class Overflow : public QRunnable {
public:
    void run() override { recurseForever(0); }
};

// The heap's own consistency check fires inside malloc, with the heap's lock held: a handler
// that allocates then waits for itself forever.
__attribute__((noinline)) void crashInsideMalloc()
{
    // With a second thread the allocator takes its locks, as it does in the agent.
    std::thread idle([] { std::this_thread::sleep_for(std::chrono::hours(1)); });
    idle.detach();
    auto* chunk = static_cast<size_t*>(malloc(0x500)); // too big for the per-thread cache
    void* guard = malloc(0x500);
    free(chunk);
    chunk[-1] = 0x10; // a size no chunk can have
    void* again = malloc(0x500);
    std::printf("%p %p\n", guard, again);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3)
        return 2;
    CrashHandler::instance().setDumpFolder(argv[1]);
    const QString how = QString::fromLatin1(argv[2]);
    if (how == "null")
        crashWithNullPointer();
    else if (how == "purevirtual")
        crashWithPureVirtualCall();
    else if (how == "pooloverflow") {
        QThreadPool::globalInstance()->start(new Overflow);
        QThreadPool::globalInstance()->waitForDone();
    } else if (how == "malloc")
        crashInsideMalloc();
    std::puts("did not crash");
    return 0;
}
