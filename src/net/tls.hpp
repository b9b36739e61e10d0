#pragma once


#include <openssl/ssl.h>

#include <cstddef>
#include <memory>
#include <string>

namespace shuffler {

// Authenticated, encrypted connections from a secret both sides hold: TLS 1.3 with an external
// pre-shared key derived from it, so there are no certificates to manage. A peer without the same
// secret fails the handshake and never reads or writes a message.

// A job's secret as text: trailing white space (the newline an editor or `echo` adds) is not part
// of it.
std::string trim_secret(const std::string& text);

// The fewest bytes a secret file's secret may have.
constexpr std::size_t min_secret_size = 16;

// The secret held in `path`, for --secret-file. Throws std::runtime_error, with a line that says
// how to fix it, for a file that is not a regular file, belongs to another user, or may be read
// or written by others, or whose secret is shorter than min_secret_size bytes.
std::string read_secret_file(const std::string& path);

// A fresh random secret for one job: 32 bytes from the system's generator, as 64 hex digits.
std::string make_job_secret();

// The TLS settings of every connection made with one secret. Serves both ends: the connecting side
// is the TLS client, the listening side the server.
class tls_settings {
public:
    explicit tls_settings(const std::string& secret);
    tls_settings(const tls_settings&) = delete;
    tls_settings& operator=(const tls_settings&) = delete;

    SSL_CTX* context() const { return context_.get(); }
    const std::string& secret() const { return secret_; }

    static constexpr std::size_t key_size = 32; // the PSK, from HKDF-SHA-256
    const unsigned char* key() const { return key_; }

private:
    std::string secret_;
    unsigned char key_[key_size];
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context_;
};

} // namespace shuffler
