#pragma once
// A certificate authority made at test time, with OpenSSL's libcrypto: its own key and
// self-signed certificate, and server certificates it issues for chosen host names and
// validity periods. Everything is written as PEM files into a folder of the test's.
//
//   TestCertificateAuthority authority(dir.path() / "ca");
//   auto good = authority.issue("panel", {"localhost", "127.0.0.1"});
//   auto expired = authority.issue("old", {"localhost"}, {-48h, -24h});
//   // serve with good.certificate / good.key; trust authority.certificateFile()

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tessaron::testing {

// A certificate's validity period, relative to now.
struct CertificateValidity {
    std::chrono::seconds notBefore = std::chrono::hours(-1);
    std::chrono::seconds notAfter = std::chrono::hours(24);
};

class TestCertificateAuthority {
public:
    using Validity = CertificateValidity;
    struct Issued {
        std::filesystem::path certificate;  // the server certificate, then the authority's
        std::filesystem::path key;
    };

    // Makes the authority's key and certificate in `dir` (created when missing).
    explicit TestCertificateAuthority(const std::filesystem::path& dir, const std::string& name = "Tessaron Test Authority");
    ~TestCertificateAuthority();
    TestCertificateAuthority(const TestCertificateAuthority&) = delete;
    TestCertificateAuthority& operator=(const TestCertificateAuthority&) = delete;

    // The authority's certificate alone: the file to trust.
    const std::filesystem::path& certificateFile() const { return certificateFile_; }

    // A server certificate for `names` (host names or IP addresses), written to
    // `stem`.pem and `stem`-key.pem in the authority's folder.
    Issued issue(const std::string& stem, const std::vector<std::string>& names, Validity validity = {}) const;
    // A server certificate that names `host` only as its subject's common name, without
    // subject alternative names.
    Issued issueCommonNameOnly(const std::string& stem, const std::string& host) const;

private:
    Issued write(const std::string& stem, const std::string& commonName, const std::vector<std::string>& names,
                 Validity validity) const;
    struct Keys;
    std::filesystem::path dir_;
    std::filesystem::path certificateFile_;
    std::unique_ptr<Keys> keys_;
};

}  // namespace tessaron::testing
