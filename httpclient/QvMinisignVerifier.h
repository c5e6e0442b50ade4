#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// Checks a detached signature in minisign's format against one release key. Only the prehashed
// form ("ED": an Ed25519 signature of the file's BLAKE2b-512 hash) is accepted; the legacy form
// ("Ed", a signature of the whole file) is refused, so the file can be hashed as it streams by.
// A signature counts only when its key id is the key's, the file's hash verifies and the global
// signature over the signature and its trusted comment verifies too. Pure: no files, no network;
// one object per check, one thread at a time.
class QvMinisignVerifier {
public:
    static constexpr size_t kKeyIdBytes = 8;
    static constexpr size_t kPublicKeyBytes = 32;
    static constexpr size_t kSignatureBytes = 64;
    static constexpr size_t kHashBytes = 64;  // BLAKE2b-512

    QvMinisignVerifier();
    ~QvMinisignVerifier();
    QvMinisignVerifier(const QvMinisignVerifier&) = delete;
    QvMinisignVerifier& operator=(const QvMinisignVerifier&) = delete;

    // The key line of a minisign .pub file (the base64 text `minisign -P` takes), blanks around it
    // allowed. False for anything else.
    bool setPublicKey(std::string_view base64);
    // The text of a .minisig file. False when it is malformed or not the prehashed form.
    bool setSignature(std::string_view text);
    // Feeds the next bytes of the signed file.
    void update(const unsigned char* data, size_t length);
    // True when key and signature were accepted and the bytes fed so far are what was signed.
    // Ends the check: a second call answers false.
    bool verify();

    // The trusted comment of the signature set (only trustworthy once verify() said true).
    const std::string& trustedComment() const { return m_trustedComment; }

private:
    struct HashState;

    std::unique_ptr<HashState> m_hash;
    bool m_hasKey = false;
    bool m_hasSignature = false;
    bool m_finished = false;
    std::array<unsigned char, kKeyIdBytes> m_keyId{};
    std::array<unsigned char, kPublicKeyBytes> m_publicKey{};
    std::array<unsigned char, kKeyIdBytes> m_signatureKeyId{};
    std::array<unsigned char, kSignatureBytes> m_signature{};
    std::array<unsigned char, kSignatureBytes> m_globalSignature{};
    std::string m_trustedComment;
};
