// SPDX-License-Identifier: Apache-2.0
#include "client/ssh_transport.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "client/known_hosts.h"
#include "quillferry/reply.h"

namespace qfclient {

namespace {

constexpr const char* kGlobalKnownHosts = "/etc/ssh/ssh_known_hosts";
// What is kept of the channel's standard error, at most.
constexpr std::size_t kMaxErrorBytes = ReplyMatcher::kMaxNoteBytes;
// Reads of the channel's standard error per read of the stream, at most.
constexpr int kErrorReadsPerRound = 16;

// The user's home folder, as OpenSSH's client finds it: the password database first.
std::string homeFolder() {
    passwd pw{};
    passwd* found = nullptr;
    char buf[4096];
    if (::getpwuid_r(::getuid(), &pw, buf, sizeof(buf), &found) == 0 && found != nullptr &&
        pw.pw_dir != nullptr)
        return pw.pw_dir;
    const char* home = std::getenv("HOME");
    return home != nullptr ? home : "";
}

// A key's type and SHA256 fingerprint, as OpenSSH shows them: "ssh-ed25519
// SHA256:...".
std::string describeKey(ssh_key key) {
    unsigned char* hash = nullptr;
    size_t size = 0;
    std::string text = ssh_key_type_to_char(ssh_key_type(key));
    if (ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &size) == SSH_OK) {
        char* fingerprint = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, size);
        if (fingerprint != nullptr) text += std::string(" ") + fingerprint;
        ssh_string_free_char(fingerprint);
        ssh_clean_pubkey_hash(&hash);
    }
    return text;
}

}  // namespace

SshTransport::SshTransport(UniqueFd fd, const LineAddress& address)
    : address_(address), fd_(fd.get()), socket_(std::move(fd)) {}

SshTransport::~SshTransport() {
    if (channel_ != nullptr) ssh_channel_free(channel_);
    // Closes the socket too, once libssh has taken it over; no disconnect message is
    // waited for.
    if (session_ != nullptr) ssh_free(session_);
}

short SshTransport::events(bool sending) const {
    if (session_ == nullptr) return POLLOUT;
    const bool pending = (ssh_get_poll_flags(session_) & SSH_WRITE_PENDING) != 0;
    return static_cast<short>(POLLIN | (pending || (sending && !windowClosed_) ? POLLOUT : 0));
}

std::string SshTransport::settingUp() const {
    switch (stage_) {
        case Stage::Start:
        case Stage::KeyExchange:
            return "the SSH handshake (version and key exchange)";
        case Stage::Authenticating:
            return "the SSH authentication";
        case Stage::OpeningChannel:
        case Stage::RequestingShell:
        case Stage::Open:
            break;
    }
    return "the SSH session channel";
}

Transport::Step SshTransport::failed(const std::string& what, LineFault& fault, Outcome outcome) {
    const std::string said = session_ != nullptr ? ssh_get_error(session_) : "";
    fault.outcome = outcome;
    fault.detail = what + (said.empty() ? "" : ": " + ReplyMatcher::note(said));
    if (saysPortInUse(said)) {
        fault.outcome = Outcome::Busy;
        fault.detail = "line busy: the console server has another client on the port (" +
                       fault.detail + "); try again later";
    }
    return Step::Failed;
}

bool SshTransport::configure(LineFault& fault) {
    fault.outcome = Outcome::Unavailable;
    std::string error;
    const std::string user =
        address_.knownHosts.empty() ? homeFolder() + "/.ssh/known_hosts" : address_.knownHosts;
    if (!holdFile(user, userKnownHosts_, error, address_.knownHosts.empty()) ||
        !holdFile(kGlobalKnownHosts, globalKnownHosts_, error, true)) {
        fault.detail = "known hosts: " + error;
        return false;
    }
    userKnownHostsCopy_ = memoryFile(userKnownHosts_.bytes);
    globalKnownHostsCopy_ = memoryFile(globalKnownHosts_.bytes);
    if (!address_.identity.empty()) {
        HeldFile identity;
        if (!holdFile(address_.identity, identity, error)) {
            fault.detail = "identity: " + error;
            return false;
        }
        identityCopy_ = memoryFile(identity.bytes);
        std::fill(identity.bytes.begin(), identity.bytes.end(), '\0');
        if (!identityCopy_.valid()) {
            fault.detail = std::string("cannot hold the identity: ") + std::strerror(errno);
            return false;
        }
    }
    if (!userKnownHostsCopy_.valid() || !globalKnownHostsCopy_.valid()) {
        fault.detail = std::string("cannot hold the known hosts: ") + std::strerror(errno);
        return false;
    }
    session_ = ssh_new();
    if (session_ == nullptr) {
        fault.detail = "cannot start SSH";
        return false;
    }
    // Never a prompt: a key that needs a passphrase is passed over, and said so.
    ssh_callbacks_init(&callbacks_);
    callbacks_.userdata = this;
    callbacks_.auth_function = [](const char* /*prompt*/, char* /*buf*/, size_t /*len*/,
                                  int /*echo*/, int /*verify*/, void* self) {
        static_cast<SshTransport*>(self)->passphraseWanted_ = true;
        return -1;
    };
    const int port = std::stoi(address_.port);
    const int off = 0;
    const int on = 1;
    // A safety net only: the session never blocks, so no wait of libssh's should use it.
    const long timeoutSeconds = 1;
    const int noLog = SSH_LOG_NOLOG;
    const std::string userCopy = memoryFilePath(userKnownHostsCopy_);
    const std::string globalCopy = memoryFilePath(globalKnownHostsCopy_);
    bool ok =
        ssh_set_callbacks(session_, &callbacks_) == SSH_OK &&
        ssh_options_set(session_, SSH_OPTIONS_LOG_VERBOSITY, &noLog) == SSH_OK &&
        ssh_options_set(session_, SSH_OPTIONS_PROCESS_CONFIG, &off) == SSH_OK &&
        ssh_options_set(session_, SSH_OPTIONS_HOST, address_.host.c_str()) == SSH_OK &&
        ssh_options_set(session_, SSH_OPTIONS_PORT, &port) == SSH_OK &&
        ssh_options_set(session_, SSH_OPTIONS_KNOWNHOSTS, userCopy.c_str()) == SSH_OK &&
        ssh_options_set(session_, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, globalCopy.c_str()) == SSH_OK &&
        ssh_options_set(session_, SSH_OPTIONS_TIMEOUT, &timeoutSeconds) == SSH_OK &&
        ssh_options_set(session_, SSH_OPTIONS_NODELAY, &on) == SSH_OK &&
        ssh_options_set(session_, SSH_OPTIONS_PASSWORD_AUTH, &off) == SSH_OK &&
        ssh_options_set(session_, SSH_OPTIONS_KBDINT_AUTH, &off) == SSH_OK &&
        ssh_options_set(session_, SSH_OPTIONS_GSSAPI_AUTH, &off) == SSH_OK;
    if (ok && !address_.user.empty())
        ok = ssh_options_set(session_, SSH_OPTIONS_USER, address_.user.c_str()) == SSH_OK;
    if (ok && identityCopy_.valid()) {
        const std::string identity = memoryFilePath(identityCopy_);
        ok = ssh_options_set(session_, SSH_OPTIONS_IDENTITY, identity.c_str()) == SSH_OK;
    }
    if (ok) {
        int fd = socket_.get();
        ok = ssh_options_set(session_, SSH_OPTIONS_FD, &fd) == SSH_OK;
    }
    if (!ok) {
        failed("cannot set SSH up", fault);
        return false;
    }
    ssh_set_blocking(session_, 0);
    return true;
}

Transport::Step SshTransport::setUp(LineFault& fault) {
    switch (stage_) {
        case Stage::Start:
            if (!configure(fault)) return Step::Failed;
            stage_ = Stage::KeyExchange;
            [[fallthrough]];
        case Stage::KeyExchange: {
            const int rc = ssh_connect(session_);
            // From its first call, the session closes the socket when it is freed.
            socket_.release();
            if (rc == SSH_AGAIN) return Step::Again;
            if (rc != SSH_OK) return failed("the SSH handshake failed", fault);
            if (!checkHostKey(fault)) return Step::Failed;
            stage_ = Stage::Authenticating;
            [[fallthrough]];
        }
        case Stage::Authenticating: {
            const int rc = ssh_userauth_publickey_auto(session_, nullptr, nullptr);
            if (rc == SSH_AUTH_AGAIN) return Step::Again;
            if (rc == SSH_AUTH_ERROR) return failed("SSH authentication failed", fault);
            if (rc != SSH_AUTH_SUCCESS) return refusedKeys(fault);
            channel_ = ssh_channel_new(session_);
            if (channel_ == nullptr) return failed("cannot make an SSH channel", fault);
            stage_ = Stage::OpeningChannel;
            [[fallthrough]];
        }
        case Stage::OpeningChannel: {
            const int rc = ssh_channel_open_session(channel_);
            if (rc == SSH_AGAIN) return Step::Again;
            if (rc != SSH_OK)
                return failed("the console server opens no session for the port", fault);
            stage_ = Stage::RequestingShell;
            [[fallthrough]];
        }
        case Stage::RequestingShell: {
            // A shell without a terminal: no line discipline touches the bytes.
            const int rc = ssh_channel_request_shell(channel_);
            if (rc == SSH_AGAIN) return Step::Again;
            if (rc != SSH_OK) return failed("the console server refuses the port's session", fault);
            stage_ = Stage::Open;
            [[fallthrough]];
        }
        case Stage::Open:
            break;
    }
    return Step::Done;
}

bool SshTransport::checkHostKey(LineFault& fault) {
    fault.outcome = Outcome::Unavailable;
    const std::string name = knownHostsName(address_.host, address_.port);
    const std::string files = "'" + escapeBytes(userKnownHosts_.path) + "' or " + kGlobalKnownHosts;
    ssh_key offered = nullptr;
    if (ssh_get_server_publickey(session_, &offered) != SSH_OK || offered == nullptr) {
        failed("the console server's host key cannot be read", fault);
        return false;
    }
    const std::unique_ptr<ssh_key_struct, void (*)(ssh_key)> key(offered, ssh_key_free);
    const std::string shown = describeKey(offered);
    const std::string shownName = escapeBytes(name);
    const ssh_known_hosts_e known = ssh_session_is_known_server(session_);
    if (known == SSH_KNOWN_HOSTS_OK) return true;
    const auto where = [&](bool sameType) {
        const std::optional<KnownHostsLine> line =
            contradictingLine({&userKnownHosts_, &globalKnownHosts_}, name, offered, sameType);
        return line ? "'" + escapeBytes(line->path) + "' line " + std::to_string(line->line)
                    : files;
    };
    switch (known) {
        case SSH_KNOWN_HOSTS_CHANGED:
            fault.detail = "WARNING: THE HOST KEY OF " + shownName +
                           " HAS CHANGED: the console server offers " + shown + ", but " +
                           where(true) +
                           " holds another key of that type for it. Someone may be "
                           "intercepting the line, or the console server's key was replaced: "
                           "nothing was sent; check the new key, then correct that line";
            return false;
        case SSH_KNOWN_HOSTS_OTHER:
            fault.detail = "WARNING: the console server " + shownName + " offers " + shown +
                           ", but " + where(false) +
                           " holds a key of another type for it; nothing was sent. Check the "
                           "key, then correct that line";
            return false;
        case SSH_KNOWN_HOSTS_UNKNOWN:
        case SSH_KNOWN_HOSTS_NOT_FOUND:
            fault.detail = "the host key of " + shownName +
                           " is unknown: the console server "
                           "offers " +
                           shown + ", which is not in " + files +
                           "; nothing was sent. Check the key, then add it (ssh-keyscan)";
            return false;
        default:
            failed("the host key of " + shownName + " cannot be checked", fault);
            return false;
    }
}

Transport::Step SshTransport::refusedKeys(LineFault& fault) {
    const std::string user =
        address_.user.empty() ? "this user" : "'" + ReplyMatcher::note(address_.user) + "'";
    const int methods = ssh_userauth_list(session_, nullptr);
    fault.outcome = Outcome::Unavailable;
    if (methods != 0 && (methods & SSH_AUTH_METHOD_PUBLICKEY) == 0) {
        fault.detail = "the console server takes no key for " + user +
                       " (it wants a password, which the client never sends)";
        return Step::Failed;
    }
    fault.detail = "the console server refused every key offered for " + user +
                   " (ssh-agent's, the identity's, ~/.ssh/id_ed25519, id_ecdsa, id_rsa)";
    if (passphraseWanted_) {
        fault.detail +=
            "; a key that needs a passphrase was passed over, since the client "
            "never asks for one: add it to ssh-agent (ssh-add)";
    }
    return Step::Failed;
}

void SshTransport::drainErrors() {
    char buf[1024];
    for (int i = 0; i < kErrorReadsPerRound; ++i) {
        const int n = ssh_channel_read_nonblocking(channel_, buf, sizeof(buf), 1);
        if (n <= 0) return;
        if (errors_.size() < kMaxErrorBytes)
            errors_.append(buf,
                           std::min(static_cast<std::size_t>(n), kMaxErrorBytes - errors_.size()));
    }
}

Transport::Step SshTransport::read(char* buf, std::size_t size, std::size_t& got,
                                   LineFault& fault) {
    got = 0;
    windowClosed_ = false;
    moreWaiting_ = false;
    const int n = ssh_channel_read_nonblocking(channel_, buf, static_cast<uint32_t>(size), 0);
    drainErrors();
    if (n > 0) {
        got = static_cast<std::size_t>(n);
        moreWaiting_ = got == size;
        return Step::Done;
    }
    if (n == 0 && ssh_channel_is_eof(channel_) == 0 && ssh_channel_is_open(channel_) != 0)
        return Step::Again;
    if (n == SSH_ERROR) return failed("the SSH session failed", fault, Outcome::Dropped);
    fault.outcome = Outcome::Dropped;
    fault.detail = "the console server closed the session" + lastWords();
    return Step::Failed;
}

std::string SshTransport::lastWords() {
    drainErrors();
    std::string said = errors_;
    char buf[1024];
    while (said.size() < kMaxErrorBytes) {
        const int n = ssh_channel_read_nonblocking(channel_, buf, sizeof(buf), 0);
        if (n <= 0) break;
        said.append(buf, static_cast<std::size_t>(n));
    }
    return said.empty() ? std::string() : " (it said: " + ReplyMatcher::note(said) + ")";
}

Transport::Step SshTransport::write(std::string_view bytes, std::size_t& taken, LineFault& fault) {
    taken = 0;
    const int n = ssh_channel_write(channel_, bytes.data(), static_cast<uint32_t>(bytes.size()));
    if (n == SSH_ERROR) {
        // The request may find the channel closed before what it holds was read: that is
        // told too ("Port already in use").
        failed("the SSH session failed", fault, Outcome::Dropped);
        fault.detail += lastWords();
        return Step::Failed;
    }
    if (n <= 0) {
        windowClosed_ = true;
        return Step::Again;
    }
    taken = static_cast<std::size_t>(n);
    return Step::Done;
}

}  // namespace qfclient
