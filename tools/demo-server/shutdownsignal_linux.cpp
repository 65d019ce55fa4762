#include "shutdownsignal.h"

#include <csignal>
#include <pthread.h>
#include <thread>

namespace ShutdownSignal {

void install(std::function<void()> onSignal)
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread([signals, onSignal = std::move(onSignal)] {
        int received = 0;
        sigwait(&signals, &received);
        onSignal();
    }).detach();
}

} // namespace ShutdownSignal
