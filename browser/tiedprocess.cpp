#include "tiedprocess_native.h"

TiedProcess::TiedProcess() = default;

TiedProcess::~TiedProcess()
{
    terminate(kDefaultGraceMs);
}

bool TiedProcess::start(const Command& command, std::string& error)
{
    if (!native)
        native = Native::start(command, error);
    return native != nullptr;
}

std::int64_t TiedProcess::processId() const
{
    return native ? native->processId() : 0;
}

void TiedProcess::watch(std::function<void()> ended)
{
    if (native)
        native->watch(std::move(ended));
}

bool TiedProcess::waitForEnd(int timeoutMs)
{
    return native && native->waitForEnd(timeoutMs);
}

void TiedProcess::terminate(int graceMs)
{
    if (!native)
        return;
    native->terminate(graceMs);
    native.reset();
}
