// Installs the agent's crash handler and then crashes in the way named on the command line.
#include "foundation/crashhandler.h"

#include <QCoreApplication>
#include <QString>

#include <cstdio>

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

__attribute__((noinline)) void crashWithNullPointer()
{
    volatile int* nowhere = nullptr;
    *nowhere = 1;
}

__attribute__((noinline)) void crashWithPureVirtualCall()
{
    Circle circle;
    circle.draw();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3)
        return 2;
    CrashHandler::instance().setDumpFolder(QString::fromLocal8Bit(argv[1]));
    const QString how = QString::fromLatin1(argv[2]);
    if (how == "null")
        crashWithNullPointer();
    else if (how == "purevirtual")
        crashWithPureVirtualCall();
    std::puts("did not crash");
    return 0;
}
