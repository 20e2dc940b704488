#pragma once

#include <optional>
#include <string>

namespace velmo::api {

// Writes a new self-signed certificate for "localhost" (CN and SAN DNS:localhost,
// IP:127.0.0.1) and its private key as PEM files; the key file is mode 0600.
// Both files are written in full beside their final names, flushed to disk and then renamed
// into place, so a failure (a full disk) never leaves a cut file under either name.
// Throws std::runtime_error on failure.
void writeSelfSignedCertificate(const std::string& certPath, const std::string& keyPath);

// Why the PEM certificate and key cannot serve TLS (unreadable, not PEM, a key that does not
// match, a certificate that has expired), or nothing when they can.
std::optional<std::string> unusableCertificate(const std::string& certPath, const std::string& keyPath);

}  // namespace velmo::api
