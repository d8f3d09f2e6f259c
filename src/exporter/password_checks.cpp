// SPDX-License-Identifier: Apache-2.0
#include "exporter/password_checks.h"

#include <crypt.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <sys/eventfd.h>
#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace exporter {

namespace {

std::string randomBytes(std::size_t n) {
    std::string bytes(n, '\0');
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::getrandom(&bytes[got], n - got, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0)
            throw std::runtime_error(std::string("no random bytes: ") + std::strerror(errno));
        got += static_cast<std::size_t>(r);
    }
    return bytes;
}

}  // namespace

bool constantTimeEqual(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char differ = 0;
    for (std::size_t i = 0; i < a.size(); ++i) differ |= static_cast<unsigned char>(a[i] ^ b[i]);
    return differ == 0;
}

PasswordChecks::PasswordChecks(std::map<std::string, std::string> users)
    : users_(std::move(users)), secret_(randomBytes(32)) {
    // The unknown user's hash costs what the first user's does.
    const std::string prefix = users_.empty() ? "$2y$10$" : users_.begin()->second.substr(0, 7);
    const int cost = (prefix[4] - '0') * 10 + (prefix[5] - '0');
    const std::string salt = randomBytes(16);
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    auto data = std::make_unique<crypt_data>();
    const std::string password = randomBytes(12);
    if (crypt_gensalt_rn(prefix.substr(0, 4).c_str(), static_cast<unsigned long>(cost), salt.data(),
                         static_cast<int>(salt.size()), setting, sizeof(setting)) == nullptr)
        throw std::runtime_error(std::string("cannot make a bcrypt salt: ") + std::strerror(errno));
    std::string printable;
    for (const char c : password) printable += static_cast<char>('a' + (c & 15));
    const char* hash = crypt_rn(printable.c_str(), setting, data.get(), sizeof(*data));
    if (hash == nullptr || hash[0] == '*')
        throw std::runtime_error("cannot make a bcrypt hash: " + std::string(std::strerror(errno)));
    dummy_ = hash;
    event_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!event_.valid())
        throw std::runtime_error(std::string("cannot make an eventfd: ") + std::strerror(errno));
    thread_ = std::thread([this] { work(); });
}

PasswordChecks::~PasswordChecks() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

std::string PasswordChecks::keyOf(const std::string& user, const std::string& password) const {
    const std::string message = user + '\0' + password;
    unsigned char digest[32];
    if (gnutls_hmac_fast(GNUTLS_MAC_SHA256, secret_.data(), secret_.size(), message.data(),
                         message.size(), digest) != 0)
        return std::string();  // nothing is remembered then
    return std::string(reinterpret_cast<const char*>(digest), sizeof(digest));
}

PasswordChecks::Verdict PasswordChecks::check(const std::string& user, const std::string& password,
                                              std::uint64_t ticket) {
    if (password.find('\0') != std::string::npos || user.find('\0') != std::string::npos)
        return Verdict::Denied;
    std::string key = keyOf(user, password);
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!key.empty() && passed_.count(key) != 0) return Verdict::Allowed;
    if (jobs_.size() >= kMaxWaiting) return Verdict::Busy;
    jobs_.push_back({ticket, user, password, std::move(key)});
    wake_.notify_one();
    return Verdict::Pending;
}

std::vector<std::pair<std::uint64_t, bool>> PasswordChecks::results() {
    std::uint64_t count = 0;
    while (::read(event_.get(), &count, sizeof(count)) < 0 && errno == EINTR) {
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::move(done_);
}

bool PasswordChecks::verify(const std::string& user, const std::string& password,
                            void* data) const {
    const auto found = users_.find(user);
    const std::string& hash = found != users_.end() ? found->second : dummy_;
    auto* d = static_cast<crypt_data*>(data);
    const char* out = crypt_rn(password.c_str(), hash.c_str(), d, sizeof(*d));
    return out != nullptr && constantTimeEqual(out, hash) && found != users_.end();
}

void PasswordChecks::work() {
    const auto data = std::make_unique<crypt_data>();
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
        if (stop_) return;
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        const bool passed = verify(job.user, job.password, data.get());
        lock.lock();
        if (passed && !job.key.empty()) {
            if (passed_.size() >= kMaxRemembered) passed_.clear();
            passed_.insert(job.key);
        }
        done_.emplace_back(job.ticket, passed);
        const std::uint64_t one = 1;
        if (::write(event_.get(), &one, sizeof(one)) < 0) {
            // The counter is full only after 2^64 writes; the loop reads it each round.
        }
    }
}

}  // namespace exporter
