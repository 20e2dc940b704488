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

// Writes `path`.tmp with the given mode through `write`, flushed to disk; the caller renames
// it into place. Nothing is left behind when it fails.
template <class Write>
std::string writeTemporary(const std::string& path, mode_t mode, Write write) {
    const std::string tmp = path + ".tmp";
    ::unlink(tmp.c_str());
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        throw std::runtime_error("cannot write " + tmp);
    }
    ::fchmod(fd, mode);
    FILE* f = ::fdopen(fd, "w");
    if (f == nullptr) {
        ::close(fd);
        ::unlink(tmp.c_str());
        throw std::runtime_error("cannot write " + tmp);
    }
    const bool written = write(f) && std::fflush(f) == 0 && ::fsync(fd) == 0;
    if (std::fclose(f) != 0 || !written) {
        ::unlink(tmp.c_str());
        throw std::runtime_error("cannot write " + path);
    }
    return tmp;
}

void syncFolderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

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

    const std::string keyTmp = writeTemporary(keyPath, 0600, [&](FILE* f) {
        return PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
    });
    std::string certTmp;
    try {
        certTmp = writeTemporary(certPath, 0644, [&](FILE* f) { return PEM_write_X509(f, cert.get()) == 1; });
    } catch (...) {
        ::unlink(keyTmp.c_str());
        throw;
    }
    // The key first: a crash between the renames leaves an old certificate with a new key,
    // which the next start finds unusable and replaces.
    check(::rename(keyTmp.c_str(), keyPath.c_str()) == 0 && ::rename(certTmp.c_str(), certPath.c_str()) == 0,
          "cannot move the new files into place");
    syncFolderOf(certPath);
}

std::optional<std::string> unusableCertificate(const std::string& certPath, const std::string& keyPath) {
    File certFile(std::fopen(certPath.c_str(), "r"));
    if (!certFile) {
        return "cannot read " + certPath;
    }
    Cert cert(PEM_read_X509(certFile.get(), nullptr, nullptr, nullptr));
    if (!cert) {
        return certPath + " holds no PEM certificate";
    }
    File keyFile(std::fopen(keyPath.c_str(), "r"));
    if (!keyFile) {
        return "cannot read " + keyPath;
    }
    Key key(PEM_read_PrivateKey(keyFile.get(), nullptr, nullptr, nullptr));
    if (!key) {
        return keyPath + " holds no PEM private key";
    }
    if (X509_check_private_key(cert.get(), key.get()) != 1) {
        return "the key in " + keyPath + " does not match " + certPath;
    }
    if (X509_cmp_current_time(X509_get0_notAfter(cert.get())) <= 0) {
        return certPath + " has expired";
    }
    return std::nullopt;
}

}  // namespace velmo::api
