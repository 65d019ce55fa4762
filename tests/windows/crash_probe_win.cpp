// Installs the agent's crash handler and then crashes in the way named on the command line:
//   crash_probe_win FOLDER badpointer|purevirtual|overflow
#include "foundation/crashhandler.h"
#include "foundation/widestring_win.h"

#include <thread>

// Outside an anonymous namespace, where the compiler would know every class of the hierarchy and
// call Circle's draw() instead.
namespace crashprobe {

struct Shape {
    Shape() { callDraw(); } // a virtual call from the base constructor reaches the pure function
    virtual ~Shape() = default;
    virtual void draw() = 0;
    __attribute__((noipa)) void callDraw() { draw(); }
};
struct Circle : Shape {
    void draw() override {}
};

} // namespace crashprobe

namespace {

// Not address 0: Wine run as root maps the first page, where a write then succeeds.
__attribute__((noinline)) void crashWithBadPointer()
{
    int* volatile nowhere = reinterpret_cast<int*>(0xfffffff0);
    *nowhere = 1;
}

// Deep enough to run out of any thread's stack.
__attribute__((noinline)) int recurseForever(int depth)
{
    volatile char frame[4096];
    frame[0] = char(depth);
    return recurseForever(depth + 1) + frame[0];
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
        return 2;
    CrashHandler::instance().setDumpFolder(WideString::toUtf8(argv[1]));
    if (!CrashHandler::instance().isInstalled())
        return 4;
    const std::wstring how = argv[2];
    if (how == L"badpointer") {
        crashWithBadPointer();
    } else if (how == L"purevirtual") {
        crashprobe::Circle circle;
        circle.draw();
    } else if (how == L"overflow") {
        std::thread([] { recurseForever(0); }).join();
    }
    return 5; // did not crash
}
