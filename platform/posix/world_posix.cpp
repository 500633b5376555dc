// The change sources: IPv4 address changes from a netlink route socket in the poll loop, and a
// resume seen as a jump between the boot-time clock (which counts suspended time) and the
// monotonic one (which does not), checked at every wake-up of the loop.
#include <ifaddrs.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "core/agent_state.h"
#include "platform/events.h"
#include "platform/posix/posix_internal.h"
#include "ui/texts.h"

namespace {

// A gap this large between the two clocks is a sleep, not scheduling noise.
const int64_t kResumeJumpMs = 5000;

int gNetlink = -1;
bool gGapKnown = false;
int64_t gClockGap = 0;

int64_t ClockMs(clockid_t clock) {
    timespec now;
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int64_t ClockGap() { return ClockMs(CLOCK_BOOTTIME) - ClockMs(CLOCK_MONOTONIC); }

short WantNetlink(int) { return POLLIN; }

// An agent bound to one device cares only for that device's addresses.
bool OnOurDevice(const nlmsghdr* message) {
    const std::string& device = PosixBoundDevice();
    if (device.empty()) return true;
    if (message->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) return false;
    const ifaddrmsg* address = static_cast<const ifaddrmsg*>(NLMSG_DATA(message));
    return address->ifa_index == if_nametoindex(device.c_str());
}

// Any number of messages may come in one read; only address additions and removals count, and
// a burst of them is one change.
void NetlinkReady(int fd, short) {
    alignas(nlmsghdr) char buffer[8192];
    bool changed = false;
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0) break;
        int left = static_cast<int>(n);
        for (const nlmsghdr* message = reinterpret_cast<const nlmsghdr*>(buffer);
             NLMSG_OK(message, left); message = NLMSG_NEXT(message, left)) {
            if ((message->nlmsg_type == RTM_NEWADDR || message->nlmsg_type == RTM_DELADDR) &&
                OnOurDevice(message))
                changed = true;
        }
    }
    if (!changed) return;
    DebugPrint("Изменение адресов IPv4");
    OnWorldChange(kWorldAddressChange);
}

void CheckResume() {
    if (gGapKnown) PosixWorldClockGap(ClockGap());
}

}  // namespace

bool PlatWatchAddressList() {
    PosixWorldStart();
    return gNetlink >= 0;
}

void PosixWorldStart() {
    if (!gGapKnown) PosixAddRoundHooks({nullptr, nullptr, CheckResume, nullptr, nullptr});
    gClockGap = ClockGap();
    gGapKnown = true;
    if (gNetlink >= 0) return;
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) return;  // no netlink (a restricted container): resumes are still seen
    sockaddr_nl local;
    memset(&local, 0, sizeof local);
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_IPV4_IFADDR;
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        !PosixWatchAdd({fd, WantNetlink, NetlinkReady})) {
        close(fd);
        return;
    }
    gNetlink = fd;
}

void PosixWorldClockGap(int64_t gapMs) {
    int64_t jump = gapMs - gClockGap;
    gClockGap = gapMs;
    gGapKnown = true;
    if (jump >= kResumeJumpMs) {
        DebugPrint("Пробуждение после сна: %lld с", static_cast<long long>(jump / 1000));
        OnWorldChange(kWorldResume);
    }
}

bool PlatHasNetworkAddress() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return true;  // cannot tell: say nothing of the network
    bool found = false;
    for (const ifaddrs* i = list; i != nullptr && !found; i = i->ifa_next)
        found = i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET &&
                (i->ifa_flags & IFF_UP) && !(i->ifa_flags & IFF_LOOPBACK);
    freeifaddrs(list);
    return found;
}
