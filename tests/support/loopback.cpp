// Sockets on the loopback interface, for tests that make traffic or talk to a server there.
#include "loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

int free_port()
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (s >= 0 && bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (s >= 0)
        close(s);
    return port;
}

int connect_to(int port)
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s >= 0 && connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
        return s;
    if (s >= 0)
        close(s);
    return -1;
}

udp_sink::udp_sink() : fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        throw std::runtime_error("cannot bind a UDP socket on 127.0.0.1");
    port = ntohs(a.sin_port);
}

udp_sink::~udp_sink() { close(fd); }

void send_udp(uint16_t port, int n, std::size_t size)
{
    int tx = socket(AF_INET, SOCK_DGRAM, 0);
    if (tx < 0)
        throw std::runtime_error("socket");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string payload(size, 'x');
    for (int i = 0; i < n; ++i)
        if (sendto(tx, payload.data(), size, 0, reinterpret_cast<sockaddr *>(&a), sizeof a) !=
            static_cast<ssize_t>(size))
            throw std::runtime_error("sendto");
    close(tx);
}
