#include "net/tls.hpp"

#include "core/private_file.hpp"
#include "core/small_file.hpp"

#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace shuffler {

namespace {

// Both ends name the key with this identity; one job has one key.
const unsigned char psk_identity[] = "shuffler job secret";
constexpr std::size_t psk_identity_size = sizeof psk_identity - 1;

// Labels the key derivation, so the same file used by another program gives another key.
const char derivation_label[] = "shuffler tls 1.3 external psk v1";

// The one cipher suite both ends offer: AES-GCM runs on the CPU's AES instructions.
const unsigned char cipher_id[] = {0x13, 0x01}; // TLS_AES_128_GCM_SHA256

// Where a context keeps its tls_settings for the callbacks.
int settings_index() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

std::runtime_error openssl_error(const std::string& what) {
    return std::runtime_error(what + ": OpenSSL failed");
}

void derive_key(const std::string& secret, unsigned char* key) {
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> kdf(
        EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr), EVP_PKEY_CTX_free);
    std::size_t size = tls_settings::key_size;
    if (!kdf || EVP_PKEY_derive_init(kdf.get()) <= 0 ||
        EVP_PKEY_CTX_set_hkdf_md(kdf.get(), EVP_sha256()) <= 0 ||
        EVP_PKEY_CTX_set1_hkdf_key(kdf.get(),
                                   reinterpret_cast<const unsigned char*>(secret.data()),
                                   int(secret.size())) <= 0 ||
        EVP_PKEY_CTX_add1_hkdf_info(kdf.get(),
                                    reinterpret_cast<const unsigned char*>(derivation_label),
                                    int(sizeof derivation_label - 1)) <= 0 ||
        EVP_PKEY_derive(kdf.get(), key, &size) <= 0 || size != tls_settings::key_size)
        throw openssl_error("key derivation");
}

// A session that holds the key as its resumption secret: how OpenSSL takes an external PSK in
// TLS 1.3. Null when OpenSSL fails, which fails the handshake.
SSL_SESSION* psk_session(SSL* ssl) {
    const auto* settings = static_cast<const tls_settings*>(
        SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), settings_index()));
    const SSL_CIPHER* cipher = SSL_CIPHER_find(ssl, cipher_id);
    SSL_SESSION* session = SSL_SESSION_new();
    if (!settings || !cipher || !session ||
        !SSL_SESSION_set1_master_key(session, settings->key(), tls_settings::key_size) ||
        !SSL_SESSION_set_cipher(session, cipher) ||
        !SSL_SESSION_set_protocol_version(session, TLS1_3_VERSION)) {
        SSL_SESSION_free(session);
        return nullptr;
    }
    return session;
}

// The client offers the key; `md` is set on a second call, after a retry request.
int use_psk(SSL* ssl, const EVP_MD* md, const unsigned char** id, std::size_t* id_size,
            SSL_SESSION** session) {
    *session = nullptr;
    const SSL_CIPHER* cipher = SSL_CIPHER_find(ssl, cipher_id);
    if (md && cipher && md != SSL_CIPHER_get_handshake_digest(cipher))
        return 1; // no key for that hash: the handshake goes on without one and fails
    *session = psk_session(ssl);
    *id = psk_identity;
    *id_size = psk_identity_size;
    return *session ? 1 : 0;
}

// The server takes only our identity; anything else finds no key and fails the handshake.
int find_psk(SSL* ssl, const unsigned char* id, std::size_t id_size, SSL_SESSION** session) {
    *session = nullptr;
    if (id_size == psk_identity_size && std::memcmp(id, psk_identity, id_size) == 0)
        *session = psk_session(ssl);
    return 1;
}

} // namespace

std::string trim_secret(const std::string& text) {
    const std::size_t end = text.find_last_not_of(" \t\r\n");
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

std::string read_secret_file(const std::string& path) {
    small_file file;
    const open_result opened = open_small_file(path, file);
    if (opened == open_result::failed)
        throw std::runtime_error(path + ": " + std::strerror(errno));
    if (opened == open_result::not_regular)
        throw std::runtime_error(path + ": not a regular file, as a secret file must be");
    const struct stat& st = file.status;
    // Whoever owns the file chooses the secret, and so may join the job.
    if (st.st_uid != ::geteuid())
        throw std::runtime_error(path + ": belongs to " + describe_user(st.st_uid) +
                                 ", not to you; a secret file must be your own");
    if (st.st_mode & 077)
        throw std::runtime_error(path + ": other users may read or change this secret file; "
                                 "chmod 600 " + path);
    std::string text;
    if (!read_small_file(file.fd, 65536, text))
        throw std::runtime_error(path + ": " + std::strerror(errno));
    if (text.size() > 65536)
        throw std::runtime_error(path + ": too large for a secret file (64 KiB at most)");
    text = trim_secret(text);
    if (text.empty())
        throw std::runtime_error(path + ": holds no secret; write one there, such as "
                                 "`openssl rand -hex 32`");
    // A short secret can be guessed offline from one recorded handshake.
    if (text.size() < min_secret_size)
        throw std::runtime_error(path + ": a secret of " + std::to_string(text.size()) +
                                 " bytes is too short; write at least " +
                                 std::to_string(min_secret_size) +
                                 " bytes there, such as `openssl rand -hex 32`");
    return text;
}

std::string make_job_secret() {
    unsigned char bytes[32];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        throw openssl_error("random secret");
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char b : bytes) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

tls_settings::tls_settings(const std::string& secret)
    : secret_(secret), context_(SSL_CTX_new(TLS_method()), SSL_CTX_free) {
    derive_key(secret, key_);
    SSL_CTX* ctx = context_.get();
    if (!ctx || !SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) ||
        !SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) ||
        !SSL_CTX_set_ciphersuites(ctx, "TLS_AES_128_GCM_SHA256"))
        throw openssl_error("TLS settings");
    // Every connection is new: no tickets to issue or keep.
    SSL_CTX_set_num_tickets(ctx, 0);
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    if (settings_index() < 0 || !SSL_CTX_set_ex_data(ctx, settings_index(), this))
        throw openssl_error("TLS settings");
    SSL_CTX_set_psk_use_session_callback(ctx, use_psk);
    SSL_CTX_set_psk_find_session_callback(ctx, find_psk);
}

} // namespace shuffler
