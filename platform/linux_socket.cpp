// Linux's socket requests of the network ports: an acknowledgement at once (TCP_QUICKACK), and
// a bound on unacknowledged bytes (TCP_USER_TIMEOUT).
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/posix_system.h"

namespace merix::plat::sys {

void AckAtOnce(int fd) {
#ifdef TCP_QUICKACK
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#else
    (void)fd;
#endif
}

int BoundUnacknowledged(int fd, unsigned milliseconds) {
#ifdef TCP_USER_TIMEOUT
    return setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &milliseconds, sizeof milliseconds) == 0
               ? 0
               : errno;
#else
    (void)fd;
    (void)milliseconds;
    return ENOPROTOOPT;
#endif
}

} // namespace merix::plat::sys
