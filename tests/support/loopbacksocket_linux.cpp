#include "loopbacksocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vtest {

LoopbackListener::LoopbackListener()
{
    if (::pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        wakeFds[0] = wakeFds[1] = -1;
}

LoopbackListener::~LoopbackListener()
{
    close();
    for (int& end : wakeFds) {
        if (end >= 0)
            ::close(end);
        end = -1;
    }
}

bool LoopbackListener::listen(std::uint16_t wanted)
{
    close();
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(wanted);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::listen(fd, 64) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close();
        return false;
    }
    boundPort = ntohs(address.sin_port);
    // Drain wake-ups left from an earlier close, so the new listener does not stop at once.
    char drained[16];
    while (wakeFds[0] >= 0 && ::read(wakeFds[0], drained, sizeof drained) > 0) {
    }
    return true;
}

int LoopbackListener::accept()
{
    while (fd >= 0) {
        pollfd watched[2] = {{fd, POLLIN, 0}, {wakeFds[0], POLLIN, 0}};
        const int ready = ::poll(watched, 2, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || (watched[1].revents & POLLIN))
            return -1;
        if (watched[0].revents & POLLIN) {
            const int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0)
                return client;
            if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED)
                return -1;
        }
    }
    return -1;
}

void LoopbackListener::wake()
{
    if (wakeFds[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const auto ignored = ::write(wakeFds[1], &byte, 1);
    }
}

void LoopbackListener::close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

namespace socketio {

long receive(int fd, char* buffer, long capacity)
{
    for (;;) {
        const ssize_t got = ::recv(fd, buffer, static_cast<size_t>(capacity), 0);
        if (got < 0 && errno == EINTR)
            continue;
        return static_cast<long>(got);
    }
}

bool sendAll(int fd, const char* data, long size)
{
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, static_cast<size_t>(size), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        data += sent;
        size -= sent;
    }
    return true;
}

void shutdownBoth(int fd)
{
    ::shutdown(fd, SHUT_RDWR);
}

void closeGracefully(int fd)
{
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
}

void closeWithReset(int fd)
{
    const linger immediately{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &immediately, sizeof immediately);
    ::close(fd);
}

} // namespace socketio

} // namespace vtest
