// A certificate database for the SSL tests, made once per test program
// with tests/ssl/make_certdb.sh (certutil) and removed when it exits:
// a test CA, "Server-Cert" (RSA-2048) and "Server-Cert-EC" (ECDSA P-256),
// the key database locked with a password, plus a self-signed client
// certificate (openssl) that the database does not trust.
#ifndef TESTS_COMMON_SSL_CERTDB_H
#define TESTS_COMMON_SSL_CERTDB_H

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace ssltest {

struct SslDb {
    std::string dir;          // the database directory
    std::string password;     // unlocks the key database
    std::string pwfile;       // "internal:<password>"
    std::string wrong_pwfile; // a password that does not unlock it
    std::string plain_pwfile; // the password alone on its line
    std::string ca;           // the test CA, PEM, for clients
    std::string client_cert;  // self-signed client certificate and key
    std::string client_key;
    bool ok = false;
};

// Bytes as lower-case hex digits, as tests/ssl/tls_client.py takes them.
inline std::string to_hex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char c : bytes) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

inline std::string ssl_script(const std::string &name) { return std::string(TOVI_SOURCE_DIR) + "/tests/ssl/" + name; }

namespace detail {
inline std::string &db_root() {
    static std::string root;
    return root;
}
inline void remove_db() {
    if (!db_root().empty() && !getenv("SSLTEST_KEEP")) {
        std::string cmd = "rm -rf '" + db_root() + "'";
        if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", db_root().c_str());
    }
}
inline void write(const std::string &path, const std::string &text) {
    std::ofstream f(path);
    f << text;
}
}  // namespace detail

inline const SslDb &ssl_db() {
    static SslDb db = [] {
        SslDb d;
        char tmpl[] = "/tmp/ssltest.XXXXXX";
        if (!mkdtemp(tmpl)) return d;
        detail::db_root() = tmpl;
        atexit(detail::remove_db);
        d.dir = std::string(tmpl) + "/db";
        d.password = "s3cret pass";
        std::string cmd = "sh '" + ssl_script("make_certdb.sh") + "' '" + d.dir + "' '" + d.password + "'";
        if (system(cmd.c_str()) != 0) return d;
        d.pwfile = d.dir + "/sslpassword.conf";
        d.wrong_pwfile = std::string(tmpl) + "/wrong.conf";
        detail::write(d.wrong_pwfile, "internal:not-the-password\n");
        d.plain_pwfile = std::string(tmpl) + "/plain.conf";
        detail::write(d.plain_pwfile, d.password + "\r\n");
        d.ca = d.dir + "/ca.pem";
        d.client_cert = std::string(tmpl) + "/client.pem";
        d.client_key = std::string(tmpl) + "/client.key";
        cmd = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj /CN=stranger"
              " -keyout '" + d.client_key + "' -out '" + d.client_cert + "' >/dev/null 2>&1";
        if (system(cmd.c_str()) != 0) return d;
        d.ok = true;
        return d;
    }();
    return db;
}

}  // namespace ssltest

#endif
