// A certificate database for the SSL tests, made once per test program
// with tests/ssl/make_certdb.sh (certutil) and removed when it exits:
// a test CA, "Server-Cert" (RSA-2048) and "Server-Cert-EC" (ECDSA P-256),
// the key database locked with a password, plus a self-signed client
// certificate (openssl) that the database does not trust.
#ifndef TESTS_COMMON_SSL_CERTDB_H
#define TESTS_COMMON_SSL_CERTDB_H

#include <string>

#include "test_support.h"

namespace ssltest {

struct SslDb {
    std::string dir;           // the database directory
    std::string password;      // unlocks the key database
    std::string pwfile;        // "internal:<password>"
    std::string wrong_pwfile;  // a password that does not unlock it
    std::string plain_pwfile;  // the password alone on its line
    std::string ca;            // the test CA, PEM, for clients
    std::string client_cert;   // self-signed client certificate and key
    std::string client_key;
    bool ok = false;
};

// Bytes as lower-case hex digits, as tests/ssl/tls_client.py takes them.
inline std::string to_hex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char c : bytes) s += {digits[c >> 4], digits[c & 15]};
    return s;
}

inline std::string ssl_script(const std::string &name) { return std::string(TOVI_SOURCE_DIR) + "/tests/ssl/" + name; }

inline const SslDb &ssl_db() {
    static ts::TempDir root("ssltest");
    // clang-format off
    static SslDb db = [] {
        SslDb d;
        d.dir = root / "db";
        d.password = "s3cret pass";
        d.pwfile = d.dir + "/sslpassword.conf";
        d.wrong_pwfile = root / "wrong.conf";
        d.plain_pwfile = root / "plain.conf";
        d.ca = d.dir + "/ca.pem";
        d.client_cert = root / "client.pem";
        d.client_key = root / "client.key";
        // Each look at the key database hashes the password 10,000 times:
        // emulated, half a second, a dozen times per start. One round there.
        std::vector<std::string> env;
        if (ts::emulated()) env = {"NSS_MAX_MP_PBE_ITERATION_COUNT=1"};
        d.ok = root.ok() &&
               ts::run({"/bin/sh", ssl_script("make_certdb.sh"), d.dir, d.password}, 60000, env).status == 0 &&
               ts::write_file(d.wrong_pwfile, "internal:not-the-password\n") &&
               ts::write_file(d.plain_pwfile, d.password + "\r\n") &&
               ts::run({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                        "-nodes", "-days", "30", "-subj", "/CN=stranger", "-keyout", d.client_key, "-out",
                        d.client_cert},
                       60000)
                       .status == 0;
        return d;
    }();
    // clang-format on
    return db;
}

}  // namespace ssltest

#endif
