#include "test_certificate_authority.h"

#include <arpa/inet.h>
#include <cstdio>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <stdexcept>

namespace tessaron::testing {

namespace fs = std::filesystem;

namespace {

struct FreeKey {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct FreeCertificate {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
using KeyPointer = std::unique_ptr<EVP_PKEY, FreeKey>;
using CertificatePointer = std::unique_ptr<X509, FreeCertificate>;

void require(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error("test certificate authority: " + what + " failed");
}

KeyPointer newKey() {
    KeyPointer key(EVP_EC_gen("P-256"));
    require(key != nullptr, "key generation");
    return key;
}

bool isAddress(const std::string& name) {
    unsigned char bytes[16];
    return inet_pton(AF_INET, name.c_str(), bytes) == 1 || inet_pton(AF_INET6, name.c_str(), bytes) == 1;
}

void addExtension(X509* certificate, X509V3_CTX* context, int nid, const std::string& value) {
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, context, nid, value.c_str());
    require(extension != nullptr, "extension " + value);
    const bool added = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    require(added, "adding extension " + value);
}

// A certificate for `subjectName` with `key`, signed by `issuerKey` (and named after
// `issuer`, or after itself when there is none).
CertificatePointer makeCertificate(const std::string& subjectName, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey,
                                   TestCertificateAuthority::Validity validity, const std::vector<std::string>& names) {
    CertificatePointer certificate(X509_new());
    require(certificate != nullptr, "certificate allocation");
    X509* cert = certificate.get();
    require(X509_set_version(cert, 2) == 1, "version");
    unsigned char serial[16];
    require(RAND_bytes(serial, sizeof serial) == 1, "serial number");
    serial[0] &= 0x7f;
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    require(number && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert)), "serial number");
    BN_free(number);
    require(X509_gmtime_adj(X509_getm_notBefore(cert), static_cast<long>(validity.notBefore.count())) != nullptr,
            "start of validity");
    require(X509_gmtime_adj(X509_getm_notAfter(cert), static_cast<long>(validity.notAfter.count())) != nullptr,
            "end of validity");
    X509_NAME* subject = X509_get_subject_name(cert);
    require(X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(subjectName.c_str()), -1, -1, 0) == 1,
            "subject");
    require(X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : subject) == 1, "issuer");
    require(X509_set_pubkey(cert, key) == 1, "public key");

    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer ? issuer : cert, cert, nullptr, nullptr, 0);
    addExtension(cert, &context, NID_subject_key_identifier, "hash");
    if (!issuer) {
        addExtension(cert, &context, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(cert, &context, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(cert, &context, NID_authority_key_identifier, "keyid:always");
        addExtension(cert, &context, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(cert, &context, NID_key_usage, "critical,digitalSignature");
        addExtension(cert, &context, NID_ext_key_usage, "serverAuth");
        std::string alternatives;
        for (const auto& name : names) {
            if (!alternatives.empty()) alternatives += ',';
            alternatives += isAddress(name) ? "IP:" : "DNS:";
            alternatives += name;
        }
        if (!alternatives.empty()) addExtension(cert, &context, NID_subject_alt_name, alternatives);
    }
    require(X509_sign(cert, issuerKey, EVP_sha256()) > 0, "signing");
    return certificate;
}

template <class Write>
void writePem(const fs::path& path, Write write) {
    FILE* file = std::fopen(path.c_str(), "w");
    require(file != nullptr, "writing " + path.string());
    const bool written = write(file);
    require(std::fclose(file) == 0 && written, "writing " + path.string());
}

}  // namespace

struct TestCertificateAuthority::Keys {
    KeyPointer key;
    CertificatePointer certificate;
};

TestCertificateAuthority::TestCertificateAuthority(const fs::path& dir, const std::string& name)
    : dir_(dir), certificateFile_(dir / "authority.pem"), keys_(std::make_unique<Keys>()) {
    fs::create_directories(dir_);
    keys_->key = newKey();
    keys_->certificate = makeCertificate(name, keys_->key.get(), nullptr, keys_->key.get(),
                                         {std::chrono::hours(-1), std::chrono::hours(24 * 30)}, {});
    writePem(certificateFile_, [&](FILE* file) { return PEM_write_X509(file, keys_->certificate.get()) == 1; });
}

TestCertificateAuthority::~TestCertificateAuthority() = default;

TestCertificateAuthority::Issued TestCertificateAuthority::issue(const std::string& stem,
                                                                 const std::vector<std::string>& names,
                                                                 Validity validity) const {
    return write(stem, names.empty() ? stem : names.front(), names, validity);
}

TestCertificateAuthority::Issued TestCertificateAuthority::issueCommonNameOnly(const std::string& stem,
                                                                               const std::string& host) const {
    return write(stem, host, {}, {});
}

TestCertificateAuthority::Issued TestCertificateAuthority::write(const std::string& stem, const std::string& commonName,
                                                                 const std::vector<std::string>& names,
                                                                 Validity validity) const {
    const KeyPointer key = newKey();
    const CertificatePointer certificate =
        makeCertificate(commonName, key.get(), keys_->certificate.get(), keys_->key.get(), validity, names);
    Issued issued{dir_ / (stem + ".pem"), dir_ / (stem + "-key.pem")};
    writePem(issued.certificate, [&](FILE* file) {
        return PEM_write_X509(file, certificate.get()) == 1 && PEM_write_X509(file, keys_->certificate.get()) == 1;
    });
    writePem(issued.key, [&](FILE* file) {
        return PEM_write_PrivateKey(file, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
    });
    return issued;
}

}  // namespace tessaron::testing
