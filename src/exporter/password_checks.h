// SPDX-License-Identifier: Apache-2.0
// Basic authentication against bcrypt hashes (libxcrypt). A bcrypt check takes tens of
// milliseconds by design, so it runs on a thread of its own and never holds up the event
// loop: its answers come back through a descriptor. A user and password that passed once are
// remembered (as a keyed hash, never as the password), so that a scrape does not pay a
// bcrypt each time; failures are not, and an unknown user costs a bcrypt too, so that the
// time of an answer does not tell which users exist.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/unique_fd.h"

namespace exporter {

class PasswordChecks {
public:
    enum class Verdict { Allowed, Denied, Pending, Busy };

    // Checks waiting for the thread, at most; more are refused (Busy) rather than queued.
    static constexpr std::size_t kMaxWaiting = 32;
    // Pairs that passed, remembered at most; the memory is forgotten whole when it is full.
    static constexpr std::size_t kMaxRemembered = 4096;

    // `users`: names and their bcrypt hashes. Throws std::runtime_error when the thread or
    // its descriptor cannot be made.
    explicit PasswordChecks(std::map<std::string, std::string> users);
    ~PasswordChecks();
    PasswordChecks(const PasswordChecks&) = delete;
    PasswordChecks& operator=(const PasswordChecks&) = delete;

    // Allowed at once for a pair that passed before; Denied at once for a password with a
    // zero byte; otherwise Pending, and the verdict for `ticket` comes from results(); Busy
    // when too many checks wait.
    Verdict check(const std::string& user, const std::string& password, std::uint64_t ticket);
    // Readable when verdicts wait for results().
    int fd() const { return event_.get(); }
    // The verdicts of finished checks: the ticket and whether it passed.
    std::vector<std::pair<std::uint64_t, bool>> results();

private:
    struct Job {
        std::uint64_t ticket;
        std::string user;
        std::string password;
        std::string key;
    };
    void work();
    bool verify(const std::string& user, const std::string& password, void* data) const;
    std::string keyOf(const std::string& user, const std::string& password) const;

    const std::map<std::string, std::string> users_;
    std::string dummy_;   // the hash an unknown user is checked against
    std::string secret_;  // the key of the remembered pairs' hashes
    UniqueFd event_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    std::vector<std::pair<std::uint64_t, bool>> done_;
    std::set<std::string> passed_;
    bool stop_ = false;
    std::thread thread_;
};

// Whether `a` and `b` are equal, in a time that depends only on their lengths.
bool constantTimeEqual(const std::string& a, const std::string& b);

}  // namespace exporter
