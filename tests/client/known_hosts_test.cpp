// SPDX-License-Identifier: Apache-2.0
#include "client/known_hosts.h"

#include <gtest/gtest.h>
#include <libssh/libssh.h>
#include <openssl/hmac.h>

#include <memory>

namespace {

using Key = std::unique_ptr<ssh_key_struct, decltype(&ssh_key_free)>;

Key newKey(ssh_keytypes_e type, int bits = 0) {
    ssh_key key = nullptr;
    EXPECT_EQ(ssh_pki_generate(type, bits, &key), SSH_OK);
    return Key(key, ssh_key_free);
}

// "TYPE BASE64" of a key, as a known hosts line holds it.
std::string entry(const Key& key) {
    char* b64 = nullptr;
    EXPECT_EQ(ssh_pki_export_pubkey_base64(key.get(), &b64), SSH_OK);
    std::string text = std::string(ssh_key_type_to_char(ssh_key_type(key.get()))) + " " + b64;
    ssh_string_free_char(b64);
    return text;
}

// A host name hashed as OpenSSH's HashKnownHosts writes it: |1|salt|HMAC-SHA1(salt, name).
std::string hashed(const std::string& name) {
    const unsigned char salt[20] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
                                    11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    unsigned char mac[20];
    unsigned int size = sizeof(mac);
    HMAC(EVP_sha1(), salt, sizeof(salt), reinterpret_cast<const unsigned char*>(name.data()),
         name.size(), mac, &size);
    const auto b64 = [](const unsigned char* bytes, int n) {
        std::string out(4 * ((n + 2) / 3) + 1, '\0');
        out.resize(static_cast<std::size_t>(
            EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes, n)));
        return out;
    };
    return "|1|" + b64(salt, sizeof(salt)) + "|" + b64(mac, static_cast<int>(size));
}

TEST(ClientKnownHosts, NamesAsOpenSshFilesThem) {
    EXPECT_EQ(qfclient::knownHostsName("Console1.Example", "22"), "console1.example");
    EXPECT_EQ(qfclient::knownHostsName("127.0.0.1", "2222"), "[127.0.0.1]:2222");
    EXPECT_EQ(qfclient::knownHostsName("fd00::1", "2222"), "[fd00::1]:2222");
}

// The line a changed key contradicts is found by libssh's own reading of each line (plain,
// hashed and pattern names), in the user's file before the system's; a line of another
// type counts only when asked for, and comments, markers and broken lines are passed over.
TEST(ClientKnownHosts, TheLineAnOfferedKeyContradicts) {
    const Key offered = newKey(SSH_KEYTYPE_ED25519);
    const Key filed = newKey(SSH_KEYTYPE_ED25519);
    const Key ecdsa = newKey(SSH_KEYTYPE_ECDSA_P256);
    const std::string name = "[console1]:2222";
    const qfclient::HeldFile user{
        "/home/op/.ssh/known_hosts",
        "# the operator's\n[console2]:2222 " + entry(filed) + "\n@revoked " + name + " " +
            entry(filed) + "\n\n[console1]:2222 ssh-ed25519 not-base64\n" + name + " " +
            entry(offered) + " the known key itself\n  [console1]:2222 " + entry(ecdsa) + "\n" +
            hashed(name) + " " + entry(filed) + "\n"};
    const qfclient::HeldFile global{"/etc/ssh/ssh_known_hosts",
                                    "[console*]:2222 " + entry(filed) + "\n"};
    const qfclient::HeldFile empty{"/empty", ""};
    const char* const userPath = "/home/op/.ssh/known_hosts";
    const char* const globalPath = "/etc/ssh/ssh_known_hosts";
    struct Case {
        const char* what;
        std::vector<const qfclient::HeldFile*> files;
        std::string name;
        bool sameType;
        const char* path;  // null: none
        std::size_t line;
    } const cases[] = {
        {"a hashed name of the same type", {&user, &global}, name, true, userPath, 8},
        {"any type: the first line that differs", {&user, &global}, name, false, userPath, 7},
        {"a pattern in the system's file", {&empty, &global}, name, true, globalPath, 1},
        {"another port is another host", {&user}, "[console1]:2223", true, nullptr, 0},
        {"only the key itself", {&empty}, name, true, nullptr, 0},
    };
    for (const Case& c : cases) {
        const auto found = qfclient::contradictingLine(c.files, c.name, offered.get(), c.sameType);
        ASSERT_EQ(found.has_value(), c.path != nullptr) << c.what;
        if (!found) continue;
        EXPECT_EQ(found->path, c.path) << c.what;
        EXPECT_EQ(found->line, c.line) << c.what;
    }
}

}  // namespace
