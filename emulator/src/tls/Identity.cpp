#include <boost/asio/ip/address.hpp>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <array>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>

#include "AtomicFile.h"
#include "files/Base64.h"
#include "vorn_emulator/Tls.h"

namespace vorn::emulator {

namespace {

struct Free {
    void operator()(BIO* p) const { BIO_free(p); }
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(X509* p) const { X509_free(p); }
    void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
};
template <class T>
using Owned = std::unique_ptr<T, Free>;

// OpenSSL's most recent error, for a message; the queue is cleared.
std::string openSslError() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "unknown error";
    std::array<char, 256> text{};
    ERR_error_string_n(code, text.data(), text.size());
    return text.data();
}

[[noreturn]] void failWithOpenSsl(const std::string& what) {
    throw std::runtime_error(what + ": " + openSslError());
}

bool isIpAddress(const std::string& name) {
    boost::system::error_code notAnAddress;
    boost::asio::ip::make_address(name, notAnAddress);
    return !notAnAddress;
}

void addExtension(X509* certificate, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    Owned<X509_EXTENSION> extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
    if (!extension || X509_add_ext(certificate, extension.get(), -1) != 1) failWithOpenSsl("cannot add " + value);
}

std::string pemOf(const std::function<int(BIO*)>& write) {
    Owned<BIO> bio(BIO_new(BIO_s_mem()));
    if (!bio || write(bio.get()) != 1) failWithOpenSsl("cannot write PEM");
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

Owned<X509> firstCertificate(const std::string& pem) {
    Owned<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    Owned<X509> certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!certificate) failWithOpenSsl("not a PEM certificate");
    return certificate;
}

std::string readPemFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    // Certificates and keys are small; a larger file is not one.
    constexpr std::streamsize kLimit = 1 << 20;
    std::string text(static_cast<std::size_t>(kLimit) + 1, '\0');
    in.read(text.data(), kLimit + 1);
    if (in.gcount() > kLimit) throw std::runtime_error(path.string() + " is larger than 1 MiB");
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

std::string sha256Of(const unsigned char* bytes, std::size_t length) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int size = 0;
    if (EVP_Digest(bytes, length, digest.data(), &size, EVP_sha256(), nullptr) != 1) failWithOpenSsl("cannot hash");
    return std::string(reinterpret_cast<const char*>(digest.data()), size);
}

}  // namespace

std::vector<std::string> loopbackNames() {
    return {"localhost", "127.0.0.1", "::1"};
}

TlsIdentity makeSelfSignedIdentity(const std::vector<std::string>& names, int days) {
    if (names.empty()) throw std::invalid_argument("a certificate needs at least one name");
    std::string alternatives;
    for (const std::string& name : names) {
        if (name.empty() || name.find_first_of(",\r\n") != std::string::npos) {
            throw std::invalid_argument("invalid certificate name \"" + name + "\"");
        }
        if (!alternatives.empty()) alternatives += ',';
        alternatives += (isIpAddress(name) ? "IP:" : "DNS:") + name;
    }

    Owned<EVP_PKEY> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (!key) failWithOpenSsl("cannot make a key");
    Owned<X509> certificate(X509_new());
    if (!certificate) failWithOpenSsl("cannot make a certificate");
    std::array<unsigned char, 16> serial{};
    if (RAND_bytes(serial.data(), static_cast<int>(serial.size())) != 1) failWithOpenSsl("cannot draw a serial number");
    serial[0] &= 0x7F;  // positive
    BIGNUM* number = BN_bin2bn(serial.data(), static_cast<int>(serial.size()), nullptr);
    const bool serialSet = number != nullptr && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate.get()));
    BN_free(number);
    if (!serialSet) failWithOpenSsl("cannot set the serial number");
    X509_set_version(certificate.get(), 2);  // v3
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), static_cast<long>(days) * 24 * 3600);
    X509_NAME* subject = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("vorn emulator"), -1,
                               -1, 0);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(names.front().c_str()), -1, -1, 0);
    X509_set_issuer_name(certificate.get(), subject);
    X509_set_pubkey(certificate.get(), key.get());
    addExtension(certificate.get(), NID_subject_alt_name, alternatives);
    addExtension(certificate.get(), NID_basic_constraints, "critical,CA:TRUE,pathlen:0");
    addExtension(certificate.get(), NID_key_usage, "critical,digitalSignature,keyCertSign");
    addExtension(certificate.get(), NID_ext_key_usage, "serverAuth");
    addExtension(certificate.get(), NID_subject_key_identifier, "hash");
    if (X509_sign(certificate.get(), key.get(), EVP_sha256()) == 0) failWithOpenSsl("cannot sign the certificate");

    TlsIdentity identity;
    identity.certificatePem = pemOf([&](BIO* bio) { return PEM_write_bio_X509(bio, certificate.get()); });
    identity.privateKeyPem = pemOf(
        [&](BIO* bio) { return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr); });
    return identity;
}

TlsIdentity loadIdentity(const std::filesystem::path& certificateFile, const std::filesystem::path& keyFile) {
    TlsIdentity identity{readPemFile(certificateFile), readPemFile(keyFile)};
    Owned<X509> certificate;
    try {
        certificate = firstCertificate(identity.certificatePem);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(certificateFile.string() + ": " + e.what());
    }
    Owned<BIO> bio(BIO_new_mem_buf(identity.privateKeyPem.data(), static_cast<int>(identity.privateKeyPem.size())));
    Owned<EVP_PKEY> key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key) throw std::runtime_error(keyFile.string() + ": not a PEM private key (" + openSslError() + ")");
    if (X509_check_private_key(certificate.get(), key.get()) != 1) {
        ERR_clear_error();
        throw std::runtime_error(keyFile.string() + " is not the key of " + certificateFile.string());
    }
    return identity;
}

std::filesystem::path writeIdentity(const TlsIdentity& identity, const std::filesystem::path& folder,
                                    const std::string& stem) {
    std::filesystem::create_directories(folder);
    auto certificate = folder / (stem + ".pem");
    writeFileAtomically(folder / (stem + "-key.pem"), identity.privateKeyPem, 0600);
    writeFileAtomically(certificate, identity.certificatePem, 0644);
    return certificate;
}

std::string certificateFingerprint(const std::string& certificatePem) {
    const Owned<X509> certificate = firstCertificate(certificatePem);
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int size = 0;
    if (X509_digest(certificate.get(), EVP_sha256(), digest.data(), &size) != 1)
        failWithOpenSsl("cannot hash the certificate");
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        if (i > 0) text += ':';
        text += kDigits[digest[i] >> 4];
        text += kDigits[digest[i] & 0x0F];
    }
    return text;
}

std::string publicKeyPin(const std::string& certificatePem) {
    const Owned<X509> certificate = firstCertificate(certificatePem);
    unsigned char* der = nullptr;
    const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate.get()), &der);
    if (length <= 0) failWithOpenSsl("cannot read the public key");
    const std::string digest = sha256Of(der, static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return files::encodeBase64(digest);
}

}  // namespace vorn::emulator
