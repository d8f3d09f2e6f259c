// SPDX-License-Identifier: Apache-2.0
#include "client/line.h"

#include <libtelnet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <utility>

#include "client/reply.h"
#include "client/serial_link.h"
#include "core/fd_io.h"

namespace qfclient {

int exitStatus(Outcome outcome) {
    switch (outcome) {
        case Outcome::Ok:
            return 0;
        case Outcome::Failed:
        case Outcome::Malformed:
            return 1;
        case Outcome::Timeout:
        case Outcome::Dropped:
            break;
        case Outcome::Busy:
            return 75;
        case Outcome::Unavailable:
            return 69;
    }
    return 2;
}

const char* outcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Ok:
            return "ok";
        case Outcome::Failed:
            return "failed";
        case Outcome::Malformed:
            return "malformed";
        case Outcome::Timeout:
            break;
        case Outcome::Dropped:
            return "dropped";
        case Outcome::Busy:
            return "busy";
        case Outcome::Unavailable:
            return "unavailable";
    }
    return "timeout";
}

namespace {

// RFC 2217: the COM-PORT-OPTION and the settings the board's line needs, 115200 8N1. The
// server answers each with the same command plus 100 and the value it set.
constexpr unsigned char kComPortOption = 44;
constexpr unsigned char kServerReplyOffset = 100;
struct SerialSetting {
    const char* name;
    unsigned char command;
    unsigned int value;
    std::size_t size;  // bytes of the value, most significant first
};
constexpr SerialSetting kSerialSettings[] = {
    {"baud rate 115200", 1, 115200, 4},
    {"8 data bits", 2, 8, 1},
    {"no parity", 3, 1, 1},
    {"1 stop bit", 4, 1, 1},
};
constexpr std::size_t kSettingCount = std::size(kSerialSettings);

// What may wait for a console server beyond the request itself (telnet's answers to its
// negotiation): a server that offers options without end and reads nothing fails its line
// here instead of growing the client.
constexpr std::size_t kMaxQueuedBytes = std::size_t{16} * 1024;

// What this end speaks: binary both ways (a zero byte and 0xFF pass unchanged), suppressed
// go-ahead, and the com port option as the client.
const telnet_telopt_t kTelnetOptions[] = {
    {TELNET_TELOPT_BINARY, TELNET_WILL, TELNET_DO},
    {TELNET_TELOPT_SGA, TELNET_WILL, TELNET_DO},
    {kComPortOption, TELNET_WILL, TELNET_DONT},
    {-1, 0, 0},
};

// Whether a console server that closed the connection said that someone else has the
// port ("Port already in use", "port busy").
bool saysInUse(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text.find("in use") != std::string::npos || text.find("busy") != std::string::npos;
}

}  // namespace

struct Loop::Member {
    enum class State { Closed, Connecting, Negotiating, Ready };

    Member(Loop& l, LineAddress a)
        : loop(l), address(std::move(a)), shownName(escapeBytes(address.text)) {
        loop.members_.push_back(this);
    }
    ~Member() {
        close();
        loop.members_.erase(std::find(loop.members_.begin(), loop.members_.end(), this));
    }

    void start(const Call& c, int ms, std::function<void(const Result&)> d);
    void open();
    void connected();
    void negotiated();
    void flush();
    void readable();
    void received(std::string_view bytes);
    void telnetEvent(const telnet_event_t& event);
    void lost(const std::string& why);
    void expire();
    void finish(Outcome outcome, std::string detail);
    // Calls back with the result finish() left, from the loop.
    void deliver();
    void close();
    short events() const {
        if (!fd.valid()) return 0;
        if (state == State::Connecting) return POLLOUT;
        return static_cast<short>(POLLIN | (wire.empty() ? 0 : POLLOUT));
    }
    // The address as text fit for a message (an inventory's path may hold anything).
    const std::string& name() const { return shownName; }
    // Runs `f` on the telnet state; a close from within one of its events frees that state
    // only once libtelnet has returned.
    template <typename F>
    void withTelnet(F f) {
        ++telnetDepth;
        f(telnet);
        if (--telnetDepth > 0) return;
        for (telnet_t* t : doomed) telnet_free(t);
        doomed.clear();
    }

    Loop& loop;
    LineAddress address;
    std::string shownName;
    State state = State::Closed;
    UniqueFd fd;
    telnet_t* telnet = nullptr;
    int telnetDepth = 0;
    std::vector<telnet_t*> doomed;
    // Telnet negotiation: binary mode confirmed for each direction, the com port option
    // agreed, and which serial settings the server confirmed.
    bool binaryOut = false;
    bool binaryIn = false;
    bool comPort = false;
    bool confirmed[kSettingCount] = {};
    bool allConfirmed() const {
        return std::all_of(std::begin(confirmed), std::end(confirmed), [](bool c) { return c; });
    }

    // The call under way.
    bool active = false;
    Call call;
    std::optional<ReplyMatcher> matcher;
    std::function<void(const Result&)> done;
    std::string wire;  // bytes for the descriptor, telnet-encoded where it applies
    bool requestQueued = false;
    int timeoutMs = 0;
    long long startMs = 0;
    long long deadlineMs = 0;
    // The result of the call, until the loop hands it over.
    std::optional<Result> result;
};

using Member = Loop::Member;

void Loop::runUntil(const std::function<bool()>& done) {
    while (!done() && serve()) {
    }
}

bool Loop::serve() {
    std::vector<pollfd>& fds = fds_;
    std::vector<Member*>& polled = polled_;
    fds.clear();
    polled.clear();
    long long nearest = -1;
    bool results = false;
    for (Member* m : members_) {
        results = results || m->result.has_value();
        if (!m->active) continue;
        nearest = nearest < 0 ? m->deadlineMs : std::min(nearest, m->deadlineMs);
        if (m->events() == 0) continue;
        fds.push_back({m->fd.get(), m->events(), 0});
        polled.push_back(m);
    }
    long long wait = results       ? 0
                     : nearest < 0 ? -1
                                   : std::clamp(nearest - monotonicMs(), 0LL, 1000LL);
    if (watcher_ != nullptr) {
        watched_.clear();
        const long long own = watcher_->prepare(watched_);
        const long long ownWait =
            std::clamp(own - monotonicMs(), 0LL, static_cast<long long>(INT_MAX));
        if (own >= 0) wait = wait < 0 ? ownWait : std::min(wait, ownWait);
        fds.insert(fds.end(), watched_.begin(), watched_.end());
    } else if (wait < 0) {
        return false;  // nothing to wait for
    }
    const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(wait));
    if (ready < 0 && errno != EINTR) {
        for (Member* m : polled) m->lost(std::string("poll failed: ") + std::strerror(errno));
    }
    // A member whose descriptor changed meanwhile is served in the next round.
    for (std::size_t i = 0; ready > 0 && i < polled.size(); ++i) {
        Member* m = polled[i];
        if (fds[i].revents == 0 || !m->fd.valid() || m->fd.get() != fds[i].fd) continue;
        if (m->state == Member::State::Connecting) {
            m->connected();
            continue;
        }
        if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) m->readable();
        if ((fds[i].revents & POLLOUT) != 0 && m->fd.valid()) m->flush();
    }
    const long long now = monotonicMs();
    for (Member* m : members_) {
        if (m->active && now >= m->deadlineMs) m->expire();
    }
    // Results are handed over last, one line after another: a callback may start calls
    // (whose own results come in a later round) or make lines, never from within another
    // line's work.
    for (std::size_t i = 0; i < members_.size(); ++i) members_[i]->deliver();
    if (watcher_ != nullptr) {
        for (std::size_t i = 0; i < watched_.size(); ++i)
            watched_[i].revents = ready > 0 ? fds[polled.size() + i].revents : 0;
        watcher_->ready(watched_);
    }
    return true;
}

void Member::start(const Call& c, int ms, std::function<void(const Result&)> d) {
    result.reset();
    call = c;
    matcher.emplace(call);
    done = std::move(d);
    timeoutMs = ms;
    startMs = monotonicMs();
    deadlineMs = startMs + ms;
    active = true;
    requestQueued = false;
    if (state == State::Closed) return open();
    if (state == State::Ready) negotiated();
}

void Member::open() {
    if (address.kind == LineAddress::Kind::Device) {
        std::string error;
        const SerialLink::Status status = SerialLink::openDevice(address.path, fd, error);
        if (status != SerialLink::Status::Ok) {
            return finish(status == SerialLink::Status::Busy ? Outcome::Busy : Outcome::Unavailable,
                          error);
        }
        state = State::Ready;
        return negotiated();
    }
    // The name is resolved here, before the connection; a literal address needs no lookup.
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found);
    if (rc != 0) {
        return finish(Outcome::Unavailable, "cannot resolve " + address.host + " (" + name() +
                                                "): " + ::gai_strerror(rc));
    }
    const std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, ::freeaddrinfo);
    fd.reset(::socket(found->ai_family, found->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                      found->ai_protocol));
    if (!fd.valid()) {
        return finish(Outcome::Unavailable,
                      std::string("cannot make a socket: ") + std::strerror(errno));
    }
    if (::connect(fd.get(), found->ai_addr, found->ai_addrlen) != 0 && errno != EINPROGRESS) {
        const int err = errno;
        fd.reset();
        return finish(Outcome::Unavailable,
                      "cannot connect to " + name() + ": " + std::strerror(err));
    }
    state = State::Connecting;
}

void Member::connected() {
    int err = 0;
    socklen_t len = sizeof(err);
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err != 0) {
        fd.reset();
        state = State::Closed;
        return finish(Outcome::Unavailable,
                      "cannot connect to " + name() + ": " + std::strerror(err));
    }
    if (address.kind == LineAddress::Kind::Tcp) {
        state = State::Ready;
        return negotiated();
    }
    state = State::Negotiating;
    telnet = telnet_init(
        kTelnetOptions,
        [](telnet_t* t, telnet_event_t* event, void* data) {
            // libtelnet goes on with the rest of a read after an event closed the line:
            // what a telnet state no longer the line's reports is not heard.
            auto* m = static_cast<Member*>(data);
            if (t == m->telnet) m->telnetEvent(*event);
        },
        0, this);
    if (telnet == nullptr) return finish(Outcome::Unavailable, "cannot start telnet");
    withTelnet([](telnet_t* t) {
        telnet_negotiate(t, TELNET_WILL, TELNET_TELOPT_BINARY);
        telnet_negotiate(t, TELNET_DO, TELNET_TELOPT_BINARY);
        telnet_negotiate(t, TELNET_WILL, TELNET_TELOPT_SGA);
        telnet_negotiate(t, TELNET_DO, TELNET_TELOPT_SGA);
        telnet_negotiate(t, TELNET_WILL, kComPortOption);
    });
    flush();
}

void Member::telnetEvent(const telnet_event_t& event) {
    const auto refuse = [this](const std::string& what) {
        close();
        finish(Outcome::Unavailable, name() + ": the console server " + what);
    };
    switch (event.type) {
        case TELNET_EV_DATA: {
            const std::string_view bytes(event.data.buffer, event.data.size);
            // Before the port is set up nothing is the reply: the request has not gone out.
            if (state != State::Ready) {
                if (active) matcher->discard(bytes);
                return;
            }
            return received(bytes);
        }
        case TELNET_EV_SEND:
            wire.append(event.data.buffer, event.data.size);
            if (wire.size() > 2 * call.line.size() + kMaxQueuedBytes) {
                return refuse("does not take what is sent (" + std::to_string(wire.size()) +
                              " bytes wait for it)");
            }
            return;
        case TELNET_EV_DO:
            if (event.neg.telopt == TELNET_TELOPT_BINARY) binaryOut = true;
            if (event.neg.telopt == kComPortOption && !comPort) {
                comPort = true;
                // Each request may close the line (what waits grew too long): the state
                // stays valid until libtelnet has returned, and no longer reports to it.
                telnet_t* const t = telnet;
                for (const SerialSetting& setting : kSerialSettings) {
                    char payload[5] = {static_cast<char>(setting.command)};
                    for (std::size_t i = 0; i < setting.size; ++i) {
                        payload[1 + i] =
                            static_cast<char>(setting.value >> (8 * (setting.size - 1 - i)));
                    }
                    telnet_subnegotiation(t, kComPortOption, payload, 1 + setting.size);
                }
            }
            break;
        case TELNET_EV_WILL:
            if (event.neg.telopt == TELNET_TELOPT_BINARY) binaryIn = true;
            break;
        // Only an option withdrawn after it was agreed: libtelnet reports no refusal of one
        // asked for, which the deadline then tells.
        case TELNET_EV_DONT:
        case TELNET_EV_WONT:
            if (event.neg.telopt == TELNET_TELOPT_BINARY)
                return refuse("refuses binary mode, so a zero byte or 0xFF could not pass");
            if (event.neg.telopt == kComPortOption && state == State::Negotiating)
                return refuse("does not speak RFC 2217 (com port control)");
            break;
        case TELNET_EV_SUBNEGOTIATION: {
            if (event.sub.telopt != kComPortOption || event.sub.size < 1 || !comPort) break;
            const auto code = static_cast<unsigned char>(event.sub.buffer[0]);
            for (std::size_t k = 0; k < kSettingCount; ++k) {
                const SerialSetting& setting = kSerialSettings[k];
                if (code != setting.command + kServerReplyOffset) continue;
                unsigned int value = 0;
                for (std::size_t i = 1; i < event.sub.size && i <= setting.size; ++i)
                    value = (value << 8) | static_cast<unsigned char>(event.sub.buffer[i]);
                // Each setting is confirmed once, with the value asked for.
                if (event.sub.size != 1 + setting.size || value != setting.value) {
                    return refuse("did not set " + std::string(setting.name) + " (it answered " +
                                  std::to_string(value) + ")");
                }
                if (confirmed[k])
                    return refuse("confirmed " + std::string(setting.name) + " twice");
                confirmed[k] = true;
            }
            break;
        }
        case TELNET_EV_ERROR:
            return lost(std::string("telnet protocol error: ") + escapeBytes(event.error.msg));
        default:
            break;
    }
    if (state == State::Negotiating && binaryOut && binaryIn && allConfirmed()) {
        state = State::Ready;
        negotiated();
    }
}

// The line is ready: the call's request goes out.
void Member::negotiated() {
    if (!active || requestQueued) return;
    requestQueued = true;
    if (telnet != nullptr) {
        withTelnet([this](telnet_t* t) { telnet_send(t, call.line.data(), call.line.size()); });
    } else {
        wire += call.line;
    }
    flush();
}

void Member::flush() {
    const bool device = address.kind == LineAddress::Kind::Device;
    while (!wire.empty() && fd.valid()) {
        // A socket must not raise SIGPIPE when the console server has gone.
        const ssize_t n = device ? ::write(fd.get(), wire.data(), wire.size())
                                 : ::send(fd.get(), wire.data(), wire.size(), MSG_NOSIGNAL);
        if (n >= 0) {
            wire.erase(0, static_cast<std::size_t>(n));
        } else if (errno == EAGAIN) {
            return;
        } else if (errno != EINTR) {
            return lost(std::string("writing failed: ") + std::strerror(errno));
        }
    }
}

void Member::readable() {
    char buf[4096];
    const ssize_t n = ::read(fd.get(), buf, sizeof(buf));
    if (n > 0) {
        if (telnet != nullptr) {
            return withTelnet(
                [&](telnet_t* t) { telnet_recv(t, buf, static_cast<std::size_t>(n)); });
        }
        return received(std::string_view(buf, static_cast<std::size_t>(n)));
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    const bool device = address.kind == LineAddress::Kind::Device;
    lost(n == 0 ? (device ? "the device hung up" : "the console server closed the connection")
                : std::string("reading failed: ") + std::strerror(errno));
}

void Member::received(std::string_view bytes) {
    if (!active || !matcher->feed(bytes)) return;
    if (call.probe) return finish(Outcome::Ok, "");
    const ReplyCheck check = checkReply(matcher->answer());
    if (check.verdict == ReplyCheck::Verdict::Ok) return finish(Outcome::Ok, "");
    const bool malformed = check.verdict == ReplyCheck::Verdict::NotJson ||
                           check.problem.find("not an integer") != std::string::npos;
    finish(malformed ? Outcome::Malformed : Outcome::Failed, check.problem);
}

// The line went away (hung up, closed by the console server, a failed read or write).
void Member::lost(const std::string& why) {
    close();
    if (!active) return;
    std::string heard;
    for (const std::string& piece : matcher->discarded()) heard += piece;
    heard += ReplyMatcher::note(matcher->pending());
    if (address.kind != LineAddress::Kind::Device && saysInUse(heard)) {
        return finish(Outcome::Busy, "line busy: the console server at " + name() +
                                         " has another client on the port (it said: " + heard +
                                         "); try again later");
    }
    finish(Outcome::Dropped, name() + ": " + why + " before the reply came");
}

void Member::expire() {
    const std::string within = " within " + std::to_string(timeoutMs) + " ms";
    switch (state) {
        case State::Closed:
        case State::Connecting:
            return finish(Outcome::Unavailable, "cannot connect to " + name() + within);
        case State::Negotiating: {
            const std::string missing = !comPort          ? "com port control (RFC 2217)"
                                        : !allConfirmed() ? "the serial settings 115200 8N1"
                                                          : "binary mode";
            return finish(Outcome::Unavailable,
                          name() + ": the console server did not confirm " + missing + within);
        }
        case State::Ready:
            break;
    }
    finish(Outcome::Timeout, wire.empty() ? "no reply from " + name() + within
                                          : name() + " did not take the request" + within);
}

void Member::finish(Outcome outcome, std::string detail) {
    if (!active) return;
    active = false;
    Result& r = result.emplace();
    r.outcome = outcome;
    r.detail = std::move(detail);
    r.elapsedMs = monotonicMs() - startMs;
    if (outcome == Outcome::Ok || outcome == Outcome::Failed || outcome == Outcome::Malformed) {
        r.reply = matcher->answer();
    } else if (!matcher->pending().empty()) {
        r.detail += " (received only: " + ReplyMatcher::note(matcher->pending()) + ")";
    }
    r.discarded = matcher->discarded();
    r.discardedCount = matcher->discardedCount();
    // What arrives from now on belongs to no call; the matcher's buffers go with it.
    matcher.reset();
    // A line whose call did not get its reply is closed: what it still holds belongs to no
    // later call, and a console server's port is left to other clients.
    if (exitStatus(outcome) > 1) close();
}

void Member::deliver() {
    if (!result) return;
    Result r = std::move(*result);
    result.reset();
    // Parsed only now, one reply at a time: the results of a round wait as their lines, a
    // parsed reply takes many times that.
    if (!call.probe && (r.outcome == Outcome::Ok || r.outcome == Outcome::Failed))
        r.root = checkReply(r.reply).root;
    const std::function<void(const Result&)> callback = std::move(done);
    done = nullptr;
    if (callback) callback(r);
}

void Member::close() {
    if (telnet != nullptr) {
        if (telnetDepth > 0) {
            doomed.push_back(telnet);
        } else {
            telnet_free(telnet);
        }
    }
    telnet = nullptr;
    fd.reset();
    wire = std::string();
    binaryOut = binaryIn = comPort = false;
    std::fill(std::begin(confirmed), std::end(confirmed), false);
    state = State::Closed;
}

Line::Line(Loop& loop, LineAddress address)
    : impl_(std::make_unique<Loop::Member>(loop, std::move(address))) {}

Line::Line(LineAddress address)
    : ownLoop_(std::make_unique<Loop>()),
      impl_(std::make_unique<Loop::Member>(*ownLoop_, std::move(address))) {}

Line::~Line() = default;

void Line::start(const Call& call, int timeoutMs, std::function<void(const Result&)> done) {
    impl_->start(call, timeoutMs, std::move(done));
}

Result Line::call(const Call& call, int timeoutMs) {
    std::optional<Result> result;
    start(call, timeoutMs, [&result](const Result& r) { result = r; });
    impl_->loop.runUntil([&result] { return result.has_value(); });
    return *result;
}

void Line::close() {
    impl_->close();
}

const LineAddress& Line::address() const {
    return impl_->address;
}

}  // namespace qfclient
