#include "host/tls_trust.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

namespace tessaron::tls {

std::optional<std::filesystem::path> authorityFile() {
    const char* value = std::getenv(authorityFileVariable);
    if (!value || !*value) return std::nullopt;
    return std::filesystem::path(value);
}

std::string unreadableAuthorityFileSentence(const std::filesystem::path& file) {
    return std::string("The certificate authorities in ") + authorityFileVariable + " (" + file.string() +
           ") could not be read.";
}

bool requirePeerName(X509_VERIFY_PARAM* parameters, const std::string& host) {
    unsigned char address[16];
    if (inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1)
        return X509_VERIFY_PARAM_set1_ip_asc(parameters, host.c_str()) == 1;
    // Only the subject alternative names name a host: a certificate without them is not
    // matched by its subject's common name (OpenSSL's fallback, and libcurl's own check
    // after the handshake, would otherwise accept it).
    X509_VERIFY_PARAM_set_hostflags(parameters,
                                    X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
    return X509_VERIFY_PARAM_set1_host(parameters, host.c_str(), host.size()) == 1;
}

std::string refusedCertificateSentence(const std::string& host, long verifyResult) {
    const std::string subject = "The secure connection to " + host + " was refused: its certificate ";
    switch (verifyResult) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return subject + "has expired.";
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return subject + "is not valid yet.";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return subject + "is for another host name.";
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
        return subject + "is not signed by a trusted certificate authority.";
    case X509_V_ERR_CERT_REVOKED:
        return subject + "was revoked.";
    default:
        return subject + "could not be verified.";
    }
}

std::string failedConnectionSentence(const std::string& host) {
    return "The secure connection to " + host + " failed.";
}

}  // namespace tessaron::tls
