#include "server/api/Tls.h"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace velmo::api {

namespace {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509, X509_free>>;

void check(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string("cannot create TLS certificate: ") + what);
    }
}

// Opens a file for writing with the given mode, replacing what was there.
FILE* create(const std::string& path, mode_t mode) {
    ::unlink(path.c_str());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        throw std::runtime_error("cannot write " + path);
    }
    ::fchmod(fd, mode);
    FILE* f = ::fdopen(fd, "w");
    if (f == nullptr) {
        ::close(fd);
        throw std::runtime_error("cannot write " + path);
    }
    return f;
}

}  // namespace

void writeSelfSignedCertificate(const std::string& certPath, const std::string& keyPath) {
    Key key(EVP_EC_gen("P-256"));
    check(key != nullptr, "key generation failed");
    Cert cert(X509_new());
    check(cert != nullptr, "out of memory");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), static_cast<long>(::time(nullptr)));
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 60L * 60 * 24 * 825);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1,
                               0);
    X509_set_issuer_name(cert.get(), name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
    for (const auto& [nid, value] : {std::pair{NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1"},
                                     std::pair{NID_basic_constraints, "critical,CA:TRUE"}}) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
        check(ext != nullptr, "bad extension");
        X509_add_ext(cert.get(), ext, -1);
        X509_EXTENSION_free(ext);
    }
    check(X509_sign(cert.get(), key.get(), EVP_sha256()) > 0, "signing failed");

    FILE* k = create(keyPath, 0600);
    const bool keyOk = PEM_write_PrivateKey(k, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
    check(std::fclose(k) == 0 && keyOk, "cannot write the key");
    FILE* c = create(certPath, 0644);
    const bool certOk = PEM_write_X509(c, cert.get()) == 1;
    check(std::fclose(c) == 0 && certOk, "cannot write the certificate");
}

}  // namespace velmo::api
