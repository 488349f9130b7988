#pragma once

// What the emulator serves TLS with: a certificate chain and its private key,
// as PEM text, and the helpers that make, read and describe them.

#include <filesystem>
#include <string>
#include <vector>

namespace vorn::emulator {

struct TlsIdentity {
    std::string certificatePem;  // the server's certificate first, then its chain
    std::string privateKeyPem;
};

// A fresh key (ECDSA P-256) and a certificate signed with it, valid for
// `days` from an hour ago, for the names given: each an IP address
// ("127.0.0.1", "::1") or a DNS name ("localhost"); the first is also the
// subject's common name. Throws std::runtime_error when OpenSSL fails and
// std::invalid_argument for no names or an empty one.
TlsIdentity makeSelfSignedIdentity(const std::vector<std::string>& names, int days = 30);

// The names of the emulator's own certificate: localhost, 127.0.0.1 and ::1.
std::vector<std::string> loopbackNames();

// Reads a PEM certificate (chain) file and a PEM key file and checks that
// they parse and belong together. Throws std::runtime_error naming the file
// otherwise.
TlsIdentity loadIdentity(const std::filesystem::path& certificateFile, const std::filesystem::path& keyFile);

// Writes the certificate as "<stem>.pem" and the key as "<stem>-key.pem"
// (readable by the owner only) in `folder`, made when missing, each
// atomically; the certificate's path.
std::filesystem::path writeIdentity(const TlsIdentity& identity, const std::filesystem::path& folder,
                                    const std::string& stem);

// The SHA-256 of the first certificate's DER form, as colon-separated upper-
// case hex pairs ("AB:01:..."), the way browsers and `openssl x509
// -fingerprint -sha256` show it.
std::string certificateFingerprint(const std::string& certificatePem);

// The SHA-256 of the first certificate's subject public key info, in
// base64: the pin a client can require ("sha256//" + this in libcurl).
std::string publicKeyPin(const std::string& certificatePem);

}  // namespace vorn::emulator
