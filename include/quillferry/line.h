// SPDX-License-Identifier: Apache-2.0
/// @file
/// A board's serial line, opened by its address (address.h): calls on it send a request and
/// wait for the reply that belongs to it, within a deadline of their own. Every line runs in
/// an event loop (poll): one call waits in call(); many lines in one loop run at once with
/// start(), each with its own deadline, none waiting for another: names are looked up, every
/// address tried, TLS and SSH handshakes made in the loop too. Telnet is spoken through
/// libtelnet, TLS through OpenSSL, SSH through libssh, names are looked up with c-ares.
#pragma once

#include <json/json.h>
#include <poll.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "quillferry/address.h"
#include "quillferry/export.h"
#include "quillferry/request.h"

namespace qfclient {

enum class Outcome {
    Ok,         ///< the reply, with ret_val 0 or none; for the probe the acknowledgement
    Failed,     ///< the reply, with a non-zero ret_val
    Malformed,  ///< the line answering a call is not a JSON object, or its ret_val no integer
    Timeout,    ///< no reply (or the line took no request) within the deadline
    Dropped,    ///< the line went away while waiting: hung up, closed by the console server
    Busy,       ///< another client holds the line (the local lock, or the console server said so)
    /// The line cannot be opened: no such device or name, no connection, refused settings, a
    /// host key or certificate that does not verify, a refused key.
    Unavailable,
};

/// "ok", "failed", "malformed", "timeout", "dropped", "busy", "unavailable".
QUILLFERRY_CLIENT_API const char* outcomeName(Outcome outcome);

struct Result {
    Outcome outcome = Outcome::Timeout;
    std::string reply;   ///< the bytes of the answering piece (Ok, Failed, Malformed)
    Json::Value root;    ///< the parsed reply (Ok, Failed; null for the probe)
    std::string detail;  ///< why it is not Ok, one line
    /// What arrived but did not answer (escaped, the first few), and how many pieces.
    std::vector<std::string> discarded;
    std::size_t discardedCount = 0;
    long long elapsedMs = 0;
};

class Line;

/// The event loop lines run in: one poll() over every open line, woken by the nearest
/// deadline. Results are handed to the callers' callbacks at the end of a round, never from
/// within start().
class QUILLFERRY_CLIENT_API Loop {
public:
    Loop();
    ~Loop();
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;

    /// Serves the lines until `done()` holds (checked before each round) or nothing is left
    /// to wait for.
    void runUntil(const std::function<bool()>& done);
    /// One round: waits for the lines (at most until the nearest deadline, and not at all
    /// when a result is waiting to be handed over), serves them, hands over the results.
    /// False, at once, when no call is under way and no result waits.
    bool serve();

    /// What the loop's owner waits for besides the lines (its own descriptors and deadline),
    /// polled with them in every round.
    class QUILLFERRY_CLIENT_API Watcher {
    public:
        virtual ~Watcher() = default;
        /// Appends the descriptors to wait for; returns the owner's nearest deadline
        /// (monotonicMs()), or -1 for none.
        virtual long long prepare(std::vector<pollfd>& fds) = 0;
        /// The descriptors prepare() appended, with what happened to them; called once the
        /// round's results are handed over.
        virtual void ready(const std::vector<pollfd>& fds) = 0;
    };
    /// With a watcher (null: none), serve() waits for it too, and does not return false while
    /// nothing else is under way.
    void watch(Watcher* watcher) { watcher_ = watcher; }

    struct Member;  ///< a line's state (line.cpp)
    struct Shared;  ///< what the lines of a loop share: the name resolver, TLS settings

private:
    std::vector<Member*> members_;
    std::vector<pollfd> fds_;
    std::vector<Member*> polled_;
    std::unique_ptr<Shared> shared_;
    Watcher* watcher_ = nullptr;
    std::vector<pollfd> watched_;
};

class QUILLFERRY_CLIENT_API Line {
public:
    /// A line in a shared loop, which must outlive it.
    Line(Loop& loop, LineAddress address);
    /// A line with a loop of its own.
    explicit Line(LineAddress address);
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    /// Starts `call`: opens the line when it is not open, sends the call and waits for its
    /// reply, all within `timeoutMs`. `done` is called once, from the loop (never from
    /// within start(), even when the line cannot be opened), with the result; it may start
    /// calls on this line or others, but must not destroy a line. One call at a time.
    void start(const Call& call, int timeoutMs, std::function<void(const Result&)> done);
    /// The same, waiting in the loop for the result.
    Result call(const Call& call, int timeoutMs);
    Result probe(int timeoutMs = kDefaultTimeoutMs) { return call(probeCall(), timeoutMs); }

    /// Closes the line at once. A later call opens it again.
    void close();
    const LineAddress& address() const;

private:
    std::unique_ptr<Loop> ownLoop_;
    std::unique_ptr<Loop::Member> impl_;
};

}  // namespace qfclient
