#pragma once

#include <string>

namespace velmo::api {

// Writes a new self-signed certificate for "localhost" (CN and SAN DNS:localhost,
// IP:127.0.0.1) and its private key as PEM files; the key file is mode 0600.
// Throws std::runtime_error on failure.
void writeSelfSignedCertificate(const std::string& certPath, const std::string& keyPath);

}  // namespace velmo::api
