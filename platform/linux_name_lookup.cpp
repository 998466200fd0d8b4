// The bounded name look-up of the network ports on glibc: getaddrinfo_a, whose resolver works
// on a thread of its own, waited for with gai_suspend and cancelled with gai_cancel, so that a
// name server that never answers holds the caller no longer than its bound.
#include <netdb.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "platform/posix_system.h"

namespace merix::plat::sys {

using net::AddressList;
using net::kErrorHostNotFound;
using net::kErrorTryAgain;

namespace {

uint32_t LookUpCode(int rc) {
    switch (rc) {
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
        return kErrorHostNotFound;
    case EAI_AGAIN:
        return kErrorTryAgain;
    case EAI_SYSTEM:
        return 0x20000000u | static_cast<uint32_t>(errno);
    default:
        return 0x20000000u | static_cast<uint32_t>(-rc);
    }
}

/// A look-up handed to the system's resolver, which works on a thread of its own: a request the
/// caller gave up on may still be in the resolver's hands, so its record lives here and is not
/// reused before the resolver is done with it.
struct LookUp {
    gaicb request{};
    addrinfo hints{};
    char name[256] = {};
    char service[8] = {};
    bool handed = false; ///< given to the resolver, its result not yet collected
};
std::array<LookUp, 4> g_lookUps;

/// Frees what the resolver finished; true when `l` may take a new request.
bool Collect(LookUp& l) {
    if (l.handed) {
        if (gai_error(&l.request) == EAI_INPROGRESS) {
            return false;
        }
        if (l.request.ar_result != nullptr) {
            freeaddrinfo(l.request.ar_result);
        }
        l.request.ar_result = nullptr;
        l.handed = false;
    }
    return true;
}

/// The name's addresses by glibc's asynchronous look-up, waited for until `deadline` at most;
/// one not done by then is cancelled, and left to the resolver when it cannot be.
} // namespace

bool LookUpName(const char* host, const char* service, int64_t deadline, AddressList* out,
                uint32_t* error) {
    LookUp* l = nullptr;
    for (LookUp& candidate : g_lookUps) {
        if (Collect(candidate)) {
            l = &candidate;
            break;
        }
    }
    if (l == nullptr) {
        *error = kErrorTryAgain; // every record still held by a resolver that has not answered
        return false;
    }
    std::snprintf(l->name, sizeof l->name, "%s", host);
    std::snprintf(l->service, sizeof l->service, "%s", service);
    l->hints = addrinfo{};
    l->hints.ai_family = AF_UNSPEC;
    l->hints.ai_socktype = SOCK_STREAM;
    l->hints.ai_flags = AI_NUMERICSERV;
    l->request = gaicb{};
    l->request.ar_name = l->name;
    l->request.ar_service = l->service;
    l->request.ar_request = &l->hints;
    gaicb* list[] = {&l->request};
    if (const int rc = getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr); rc != 0) {
        *error = LookUpCode(rc);
        return false;
    }
    l->handed = true;
    const gaicb* waiting[] = {&l->request};
    while (gai_error(&l->request) == EAI_INPROGRESS) {
        const int64_t left = deadline - net::NowMs();
        if (left <= 0) {
            break;
        }
        const timespec wait{static_cast<time_t>(left / 1000),
                            static_cast<long>(left % 1000) * 1000000};
        gai_suspend(waiting, 1, &wait);
    }
    int rc = gai_error(&l->request);
    if (rc == EAI_INPROGRESS) {
        gai_cancel(&l->request);
        *error = kErrorTryAgain;
        Collect(*l);
        return false;
    }
    if (rc == 0 && l->request.ar_result == nullptr) {
        rc = EAI_NONAME;
    }
    if (rc == 0) {
        CopyAddresses(l->request.ar_result, out);
    } else {
        *error = rc == EAI_CANCELED ? kErrorTryAgain : LookUpCode(rc);
    }
    Collect(*l);
    return rc == 0 && out->count > 0;
}

void CancelLookUps() {
    for (LookUp& l : g_lookUps) {
        if (l.handed && gai_cancel(&l.request) == EAI_CANCELED) {
            Collect(l);
        }
    }
}

} // namespace merix::plat::sys
