// Linux's socket request of the network ports: an acknowledgement at once (TCP_QUICKACK).
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

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

} // namespace merix::plat::sys
