#pragma once
// Which certificate authorities a secure connection trusts, and what a refused server
// certificate means to the user. Both of the program's TLS clients (the panel's HTTP
// client and the edge tunnel) take their trust and their refusal sentences from here,
// so that they trust the same authorities and say the same thing.
//
// The platform's own authorities are always trusted. SSL_CERT_FILE, the standard
// setting of this platform's TLS libraries, names a PEM file of further authorities
// (a company's own, or a test authority); libcurl as Debian builds it reads only its
// compiled-in bundle, so the setting is applied explicitly.

#include <filesystem>
#include <openssl/types.h>
#include <optional>
#include <string>

namespace tessaron::tls {

inline constexpr const char* authorityFileVariable = "SSL_CERT_FILE";

// The file that SSL_CERT_FILE names, when it is set and not empty.
std::optional<std::filesystem::path> authorityFile();

// "The certificate authorities in SSL_CERT_FILE (<path>) could not be read."
std::string unreadableAuthorityFileSentence(const std::filesystem::path& file);

// Makes verification require a certificate that names `host` (a DNS name, or an IP
// address without brackets) among its subject alternative names, so that a mismatch is
// a verification result of its own; the subject's common name never counts. False when
// OpenSSL does not take the name.
bool requirePeerName(X509_VERIFY_PARAM* parameters, const std::string& host);

// The sentence for a server certificate that failed verification with OpenSSL's
// verification result `verifyResult` (X509_V_ERR_…) while connecting to `host`.
std::string refusedCertificateSentence(const std::string& host, long verifyResult);

// A secure connection that failed for another reason than its certificate.
std::string failedConnectionSentence(const std::string& host);

}  // namespace tessaron::tls
