// SPDX-License-Identifier: Apache-2.0
#include "netconf/gateway_check.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "core/constants.h"

namespace {

using Clock = std::chrono::steady_clock;

// A neighbour dump of one interface is a few kilobytes; the kernel sends it in parts of up
// to this size.
constexpr std::size_t kReceiveBuffer = 32768;
// Parts of one answer read at most: the kernel's table holds some thousand entries.
constexpr int kMaxParts = 256;

struct Target {
    int family = AF_UNSPEC;
    unsigned char address[16] = {};
    std::size_t length = 0;
    int ifindex = 0;
};

// What the kernel's table holds for the target.
struct Entry {
    const Target* target = nullptr;
    bool found = false;
    std::uint16_t state = NUD_NONE;
};

// Whether an attribute is the target's address.
struct Match {
    const Target* target;
    bool matched;
};

int matchDestination(const struct nlattr* attr, void* data) {
    auto* m = static_cast<Match*>(data);
    if (mnl_attr_get_type(attr) == NDA_DST && mnl_attr_get_payload_len(attr) == m->target->length &&
        std::memcmp(mnl_attr_get_payload(attr), m->target->address, m->target->length) == 0)
        m->matched = true;
    return MNL_CB_OK;
}

int collectEntry(const struct nlmsghdr* nlh, void* data) {
    auto* entry = static_cast<Entry*>(data);
    if (nlh->nlmsg_type != RTM_NEWNEIGH || mnl_nlmsg_get_payload_len(nlh) < sizeof(struct ndmsg))
        return MNL_CB_OK;
    const auto* ndm = static_cast<const struct ndmsg*>(mnl_nlmsg_get_payload(nlh));
    const Target& t = *entry->target;
    if (ndm->ndm_family != t.family || ndm->ndm_ifindex != t.ifindex) return MNL_CB_OK;
    Match m{&t, false};
    if (mnl_attr_parse(nlh, sizeof(*ndm), matchDestination, &m) >= MNL_CB_STOP && m.matched) {
        entry->found = true;
        entry->state = ndm->ndm_state;
    }
    return MNL_CB_OK;
}

// One request at a time on a route netlink socket: sent, and its answer read to the end.
class RouteNetlink {
public:
    bool open(std::string& error) {
        socket_.reset(mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC));
        if (!socket_ || mnl_socket_bind(socket_.get(), 0, MNL_SOCKET_AUTOPID) < 0)
            return fail(error, "cannot open a netlink socket");
        // The kernel answers at once; this only bounds a wait that should never come.
        const struct timeval timeout = {1, 0};
        if (::setsockopt(mnl_socket_get_fd(socket_.get()), SOL_SOCKET, SO_RCVTIMEO, &timeout,
                         sizeof(timeout)) != 0)
            return fail(error, "cannot bound the netlink socket's wait");
        portid_ = mnl_socket_get_portid(socket_.get());
        return true;
    }

    // A neighbour request about `t`: type RTM_NEWNEIGH, RTM_DELNEIGH or RTM_GETNEIGH (a dump
    // of the interface's entries, passed to `entry`).
    bool neighbour(std::uint16_t type, std::uint16_t flags, std::uint8_t ndmFlags, const Target& t,
                   Entry* entry, std::string& error) {
        std::vector<char> buf(kReceiveBuffer);
        struct nlmsghdr* nlh = mnl_nlmsg_put_header(buf.data());
        nlh->nlmsg_type = type;
        nlh->nlmsg_flags = NLM_F_REQUEST | flags;
        nlh->nlmsg_seq = ++seq_;
        auto* ndm =
            static_cast<struct ndmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(struct ndmsg)));
        ndm->ndm_family = static_cast<std::uint8_t>(t.family);
        ndm->ndm_ifindex = t.ifindex;
        ndm->ndm_state = NUD_NONE;
        ndm->ndm_flags = ndmFlags;
        if (type != RTM_GETNEIGH) {
            mnl_attr_put(nlh, NDA_DST, static_cast<std::uint16_t>(t.length), t.address);
        } else {
            // Of the interface's entries only, where the kernel can (collectEntry filters too).
            mnl_attr_put_u32(nlh, NDA_IFINDEX, static_cast<std::uint32_t>(t.ifindex));
        }
        if (mnl_socket_sendto(socket_.get(), nlh, nlh->nlmsg_len) < 0)
            return fail(error, "cannot send to the kernel");
        for (int part = 0; part < kMaxParts; ++part) {
            const ssize_t n = mnl_socket_recvfrom(socket_.get(), buf.data(), buf.size());
            if (n < 0) return fail(error, "no answer from the kernel");
            const int ret = mnl_cb_run(buf.data(), static_cast<std::size_t>(n), seq_, portid_,
                                       entry != nullptr ? collectEntry : nullptr, entry);
            if (ret == MNL_CB_STOP) return true;
            if (ret == MNL_CB_ERROR) return fail(error, "refused by the kernel");
        }
        error = "the kernel's answer does not end";
        return false;
    }

private:
    struct Closer {
        void operator()(struct mnl_socket* s) const { mnl_socket_close(s); }
    };
    static bool fail(std::string& error, const char* what) {
        error = std::string(what) + ": " + std::strerror(errno);
        return false;
    }

    std::unique_ptr<struct mnl_socket, Closer> socket_;
    unsigned int portid_ = 0;
    unsigned int seq_ = 0;
};

const char* stateName(std::uint16_t state) {
    switch (state) {
        case NUD_INCOMPLETE:
            return "incomplete";
        case NUD_REACHABLE:
            return "reachable";
        case NUD_STALE:
            return "stale";
        case NUD_DELAY:
            return "delay";
        case NUD_PROBE:
            return "probe";
        case NUD_FAILED:
            return "failed";
        case NUD_NOARP:
            return "noarp";
        case NUD_PERMANENT:
            return "permanent";
        default:
            return "none";
    }
}

}  // namespace

bool gatewayAnswers(const std::string& ifname, const std::string& gateway,
                    std::chrono::milliseconds limit, std::string& detail) {
    const Clock::time_point deadline = Clock::now() + limit;
    Target t;
    if (::inet_pton(AF_INET, gateway.c_str(), t.address) == 1) {
        t.family = AF_INET;
        t.length = 4;
    } else if (::inet_pton(AF_INET6, gateway.c_str(), t.address) == 1) {
        t.family = AF_INET6;
        t.length = 16;
    } else {
        detail = "not an IP address";
        return false;
    }
    t.ifindex = static_cast<int>(::if_nametoindex(ifname.c_str()));
    if (t.ifindex == 0) {
        detail = ifname + ": " + std::strerror(errno);
        return false;
    }
    RouteNetlink rtnl;
    std::string error;
    if (!rtnl.open(error)) {
        detail = error;
        return false;
    }
    const auto read = [&](Entry& entry) {
        entry = Entry{&t};
        return rtnl.neighbour(RTM_GETNEIGH, NLM_F_DUMP, 0, t, &entry, error);
    };
    // The kernel sends the request itself (again once an earlier round has failed).
    const auto resolve = [&] {
        return rtnl.neighbour(RTM_NEWNEIGH, NLM_F_CREATE | NLM_F_ACK, NTF_USE, t, nullptr, error);
    };

    Entry entry;
    if (!read(entry)) {
        detail = error;
        return false;
    }
    if (entry.found && (entry.state & (NUD_PERMANENT | NUD_NOARP)) != 0) {
        detail = std::string("its neighbour entry is set ") + stateName(entry.state);
        return true;
    }
    // An entry from before (stale, or reachable through another configuration) proves
    // nothing about this one: gone, and resolved afresh.
    if (entry.found && !rtnl.neighbour(RTM_DELNEIGH, NLM_F_ACK, 0, t, nullptr, error) &&
        errno != ENOENT) {
        detail = error;
        return false;
    }
    if (!resolve()) {
        detail = error;
        return false;
    }
    for (;;) {
        if (!read(entry)) {
            detail = error;
            return false;
        }
        if (entry.found && entry.state == NUD_REACHABLE) {
            detail = "it answered";
            return true;
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            detail = std::string("no answer; its neighbour entry is ") +
                     (entry.found ? stateName(entry.state) : "gone");
            return false;
        }
        if ((!entry.found || entry.state == NUD_FAILED) && !resolve()) {
            detail = error;
            return false;
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(
            deadline - now, std::chrono::milliseconds(qf::kNeighbourPollMs)));
    }
}
