// SPDX-License-Identifier: Apache-2.0
#include "quillferry/line.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <utility>

#include "client/connector.h"
#include "client/plain_transport.h"
#include "client/resolver.h"
#include "client/serial_link.h"
#include "client/ssh_transport.h"
#include "client/telnet_session.h"
#include "client/tls_transport.h"
#include "client/transport.h"
#include "core/fd_io.h"
#include "quillferry/reply.h"

namespace qfclient {

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

// What may wait for a console server beyond the request itself (telnet's answers to its
// negotiation): a server that offers options without end and reads nothing fails its line
// here instead of growing the client.
constexpr std::size_t kMaxQueuedBytes = std::size_t{16} * 1024;

}  // namespace

// Neither is part of the library's API, though Loop is.
struct __attribute__((visibility("hidden"))) Loop::Shared {
    Resolver resolver;
    TlsContexts tls;
};

Loop::Loop() : shared_(std::make_unique<Shared>()) {}

Loop::~Loop() = default;

struct __attribute__((visibility("hidden"))) Loop::Member {
    enum class State { Closed, Resolving, Connecting, SettingUp, Negotiating, Ready };

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
    void resolved(std::vector<SocketAddress> found, const std::string& error);
    void connect(std::vector<SocketAddress> addresses);
    void connectReady();
    void connected(UniqueFd socket);
    void setUp();
    void negotiated();
    void flush();
    void readable();
    void telnetData(std::string_view bytes);
    void afterTelnet();
    void received(std::string_view bytes);
    void lost(const LineFault& fault);
    void expire();
    void finish(Outcome outcome, std::string detail);
    // Calls back with the result finish() left, from the loop.
    void deliver();
    void close();

    // The descriptor to poll and for what (none: -1, 0).
    int pollFd() const {
        if (state == State::Connecting) return connector.fd();
        return transport && state != State::Closed ? transport->fd() : -1;
    }
    short events() const {
        if (state == State::Connecting) return POLLOUT;
        if (!transport || state == State::Closed || state == State::Resolving) return 0;
        return transport->events(!wire.empty());
    }
    // When the loop must serve the line even without an event.
    long long wakeMs() const {
        return state == State::Connecting ? std::min(deadlineMs, connector.attemptDeadlineMs())
                                          : deadlineMs;
    }
    // Whether its transport holds stream bytes that poll() cannot announce.
    bool buffered() const {
        return transport && (state == State::Negotiating || state == State::Ready) &&
               transport->buffered();
    }
    // The address as text fit for a message (an inventory's path may hold anything).
    const std::string& name() const { return shownName; }

    Loop& loop;
    LineAddress address;
    std::string shownName;
    State state = State::Closed;
    std::uint64_t lookup = 0;  // the name lookup under way
    Connector connector;
    std::unique_ptr<Transport> transport;
    std::unique_ptr<TelnetSession> telnet;

    // The call under way.
    bool active = false;
    Call call;
    std::optional<ReplyMatcher> matcher;
    std::function<void(const Result&)> done;
    std::string wire;  // stream bytes for the transport, telnet-encoded where it applies
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
    bool buffered = false;
    for (Member* m : members_) {
        results = results || m->result.has_value();
        if (!m->active) continue;
        nearest = nearest < 0 ? m->wakeMs() : std::min(nearest, m->wakeMs());
        buffered = buffered || m->buffered();
        const short events = m->events();
        if (events == 0) continue;
        fds.push_back({m->pollFd(), events, 0});
        polled.push_back(m);
    }
    const std::size_t lineFds = fds.size();
    Resolver& resolver = shared_->resolver;
    const std::size_t resolverFds = resolver.pollFds(fds);
    long long wait = results || buffered ? 0
                     : nearest < 0       ? -1
                                         : std::clamp(nearest - monotonicMs(), 0LL, 1000LL);
    if (watcher_ != nullptr) {
        watched_.clear();
        const long long own = watcher_->prepare(watched_);
        const long long ownWait =
            std::clamp(own - monotonicMs(), 0LL, static_cast<long long>(INT_MAX));
        if (own >= 0) wait = wait < 0 ? ownWait : std::min(wait, ownWait);
    } else if (wait < 0) {
        return false;  // nothing to wait for
    }
    const long long resolverWake = resolver.wakeInMs();
    if (resolverWake >= 0) wait = wait < 0 ? resolverWake : std::min(wait, resolverWake);
    const std::size_t watchedAt = fds.size();
    fds.insert(fds.end(), watched_.begin(), watched_.end());
    const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(wait));
    if (ready < 0 && errno != EINTR) {
        const LineFault fault{Outcome::Dropped,
                              std::string("poll failed: ") + std::strerror(errno)};
        for (Member* m : polled) m->lost(fault);
    }
    // A member whose descriptor changed meanwhile is served in the next round.
    for (std::size_t i = 0; ready > 0 && i < lineFds; ++i) {
        Member* m = polled[i];
        if (fds[i].revents == 0 || m->pollFd() != fds[i].fd) continue;
        switch (m->state) {
            case Member::State::Connecting:
                m->connectReady();
                break;
            case Member::State::SettingUp:
                m->setUp();
                break;
            default:
                m->readable();
                if (m->pollFd() == fds[i].fd) m->flush();
                break;
        }
    }
    resolver.process(fds.data() + lineFds, ready > 0 ? resolverFds : 0);
    // Stream bytes that a transport read ahead are served without waiting for the socket.
    for (Member* m : members_) {
        if (!m->active || !m->buffered()) continue;
        m->readable();
        m->flush();
    }
    const long long now = monotonicMs();
    for (Member* m : members_) {
        if (!m->active) continue;
        if (now >= m->deadlineMs) {
            m->expire();
        } else if (m->state == Member::State::Connecting) {
            // An address that does not answer in its share of the time: on to the next.
            if (m->connector.expire(now) == Connector::State::Failed) m->connectReady();
        }
    }
    // Results are handed over last, one line after another: a callback may start calls
    // (whose own results come in a later round) or make lines, never from within another
    // line's work.
    for (std::size_t i = 0; i < members_.size(); ++i) members_[i]->deliver();
    if (watcher_ != nullptr) {
        for (std::size_t i = 0; i < watched_.size(); ++i)
            watched_[i].revents = ready > 0 ? fds[watchedAt + i].revents : 0;
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
        UniqueFd fd;
        const SerialLink::Status status = SerialLink::openDevice(address.path, fd, error);
        if (status != SerialLink::Status::Ok) {
            return finish(status == SerialLink::Status::Busy ? Outcome::Busy : Outcome::Unavailable,
                          error);
        }
        transport = std::make_unique<PlainTransport>(std::move(fd), true);
        state = State::Ready;
        return negotiated();
    }
    // A literal address needs no lookup; a name is looked up in the loop.
    SocketAddress literal;
    if (literalAddress(address.host, address.port, literal)) return connect({literal});
    state = State::Resolving;
    lookup = loop.shared_->resolver.lookup(
        address.host, address.port,
        [this](std::vector<SocketAddress> found, const std::string& error) {
            lookup = 0;
            resolved(std::move(found), error);
        });
}

void Member::resolved(std::vector<SocketAddress> found, const std::string& error) {
    if (found.empty()) {
        return finish(Outcome::Unavailable, "cannot resolve " + escapeBytes(address.host) + " (" +
                                                name() + "): " + error);
    }
    connect(std::move(found));
}

void Member::connect(std::vector<SocketAddress> addresses) {
    state = State::Connecting;
    if (connector.start(std::move(addresses), deadlineMs) == Connector::State::Failed)
        connectReady();
}

// The attempt under way ended (or every address failed).
void Member::connectReady() {
    Connector::State s = connector.fd() >= 0 ? connector.ready() : Connector::State::Failed;
    if (s == Connector::State::Trying) return;
    if (s == Connector::State::Connected) return connected(connector.take());
    const std::string failures = connector.failures();
    finish(Outcome::Unavailable, "cannot connect to " + name() + ": " + failures);
}

void Member::connected(UniqueFd socket) {
    switch (address.kind) {
        case LineAddress::Kind::Tls:
        case LineAddress::Kind::Telnets: {
            std::string error;
            std::shared_ptr<SSL_CTX> context = loop.shared_->tls.context(address, error);
            if (!context) return finish(Outcome::Unavailable, name() + ": " + error);
            transport = std::make_unique<TlsTransport>(std::move(socket), context, address);
            break;
        }
        case LineAddress::Kind::Ssh:
            transport = std::make_unique<SshTransport>(std::move(socket), address);
            break;
        default:
            transport = std::make_unique<PlainTransport>(std::move(socket), false);
            break;
    }
    state = State::SettingUp;
    setUp();
}

void Member::setUp() {
    LineFault fault;
    const Transport::Step step = transport->setUp(fault);
    if (step == Transport::Step::Again) return;
    if (step == Transport::Step::Failed) {
        close();
        return finish(fault.outcome, name() + ": " + fault.detail);
    }
    if (!speaksTelnet(address.kind)) {
        state = State::Ready;
        return negotiated();
    }
    state = State::Negotiating;
    telnet = std::make_unique<TelnetSession>([this](std::string_view b) { telnetData(b); }, wire);
    if (!telnet->start()) return finish(Outcome::Unavailable, name() + ": cannot start telnet");
    flush();
}

void Member::telnetData(std::string_view bytes) {
    // Before the port is set up nothing is the reply: the request has not gone out.
    if (state != State::Ready) {
        if (active) matcher->discard(bytes);
        return;
    }
    received(bytes);
}

// What a telnet exchange left: a refusal, too much waiting for a server that does not read,
// or the port set up.
void Member::afterTelnet() {
    if (!telnet) return;
    if (const std::optional<LineFault>& fault = telnet->fault()) {
        const LineFault f = *fault;
        if (f.outcome == Outcome::Dropped) return lost(f);
        close();
        return finish(f.outcome, name() + ": " + f.detail);
    }
    if (wire.size() > 2 * call.line.size() + kMaxQueuedBytes) {
        const std::size_t waiting = wire.size();
        close();
        return finish(Outcome::Unavailable,
                      name() + ": the console server does not take what is sent (" +
                          std::to_string(waiting) + " bytes wait for it)");
    }
    if (state == State::Negotiating && telnet->ready()) {
        state = State::Ready;
        negotiated();
    }
}

// The line is ready: the call's request goes out.
void Member::negotiated() {
    if (!active || requestQueued) return;
    requestQueued = true;
    if (telnet) {
        telnet->send(call.line);
    } else {
        wire += call.line;
    }
    flush();
}

void Member::flush() {
    while (!wire.empty() && transport && state != State::Closed) {
        std::size_t taken = 0;
        LineFault fault;
        const Transport::Step step = transport->write(wire, taken, fault);
        if (step == Transport::Step::Failed) return lost(fault);
        if (step == Transport::Step::Again || taken == 0) return;
        wire.erase(0, taken);
    }
}

void Member::readable() {
    char buf[4096];
    std::size_t got = 0;
    LineFault fault;
    const Transport::Step step = transport->read(buf, sizeof(buf), got, fault);
    if (step == Transport::Step::Again) return;
    if (step == Transport::Step::Failed) return lost(fault);
    if (telnet) {
        telnet->receive(buf, got);
        return afterTelnet();
    }
    received(std::string_view(buf, got));
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
void Member::lost(const LineFault& fault) {
    close();
    if (!active) return;
    if (fault.outcome != Outcome::Dropped)
        return finish(fault.outcome, name() + ": " + fault.detail);
    std::string heard;
    for (const std::string& piece : matcher->discarded()) heard += piece;
    heard += ReplyMatcher::note(matcher->pending());
    if (address.kind != LineAddress::Kind::Device && saysPortInUse(heard + fault.detail)) {
        return finish(Outcome::Busy, "line busy: the console server at " + name() +
                                         " has another client on the port (it said: " +
                                         (heard.empty() ? fault.detail : heard) +
                                         "); try again later");
    }
    finish(Outcome::Dropped, name() + ": " + fault.detail + " before the reply came");
}

void Member::expire() {
    const std::string within = " within " + std::to_string(timeoutMs) + " ms";
    switch (state) {
        case State::Closed:
            break;
        case State::Resolving:
            return finish(Outcome::Unavailable, "cannot resolve " + escapeBytes(address.host) +
                                                    " (" + name() + ")" + within);
        case State::Connecting: {
            const std::string failures = connector.failures();
            return finish(Outcome::Unavailable,
                          "cannot connect to " + name() + within +
                              (failures.empty() ? "" : " (" + failures + ")"));
        }
        case State::SettingUp:
            return finish(Outcome::Unavailable,
                          name() + ": " + transport->settingUp() + " did not finish" + within);
        case State::Negotiating:
            return finish(Outcome::Unavailable, name() + ": the console server did not confirm " +
                                                    telnet->missing() + within);
        case State::Ready:
            return finish(Outcome::Timeout, wire.empty()
                                                ? "no reply from " + name() + within
                                                : name() + " did not take the request" + within);
    }
    finish(Outcome::Unavailable, "cannot open " + name() + within);
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
    if (outcome != Outcome::Ok && outcome != Outcome::Failed && outcome != Outcome::Malformed)
        close();
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
    if (lookup != 0) loop.shared_->resolver.cancel(lookup);
    lookup = 0;
    connector = Connector();
    telnet.reset();
    transport.reset();
    wire = std::string();
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
