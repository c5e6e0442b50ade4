#include "httpclient/QvMinisignVerifier.h"

#include <sodium.h>

#include <cstring>
#include <vector>

namespace {

constexpr std::string_view kPublicKeyAlgorithm = "Ed";
constexpr std::string_view kPrehashedAlgorithm = "ED";  // the legacy "Ed" signs the whole file: refused
constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";
constexpr size_t kAlgorithmBytes = 2;

std::string_view trimmed(std::string_view text)
{
    const auto blank = [](char ch) { return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// Exactly `bytes` bytes from standard base64 text, or false.
bool decodeExactly(std::string_view base64, unsigned char* out, size_t bytes)
{
    std::vector<unsigned char> decoded(base64.size());
    size_t length = 0;
    if (base64.empty() ||
        sodium_base642bin(decoded.data(), decoded.size(), base64.data(), base64.size(), nullptr, &length, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        length != bytes) {
        return false;
    }
    std::memcpy(out, decoded.data(), bytes);
    return true;
}

// The lines of text without their CR LF or LF ends.
std::vector<std::string_view> linesOf(std::string_view text)
{
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return lines;
}

}  // namespace

struct QvMinisignVerifier::HashState {
    crypto_generichash_state state;
};

QvMinisignVerifier::QvMinisignVerifier() : m_hash(std::make_unique<HashState>())
{
    // sodium_init may run any number of times from any thread; it picks the fastest code once.
    if (sodium_init() < 0) {
        m_finished = true;
        return;
    }
    crypto_generichash_init(&m_hash->state, nullptr, 0, kHashBytes);
}

QvMinisignVerifier::~QvMinisignVerifier()
{
    sodium_memzero(m_hash.get(), sizeof(HashState));
}

bool QvMinisignVerifier::setPublicKey(std::string_view base64)
{
    unsigned char key[kAlgorithmBytes + kKeyIdBytes + kPublicKeyBytes];
    m_hasKey = decodeExactly(trimmed(base64), key, sizeof key) &&
               std::string_view(reinterpret_cast<const char*>(key), kAlgorithmBytes) == kPublicKeyAlgorithm;
    if (m_hasKey) {
        std::memcpy(m_keyId.data(), key + kAlgorithmBytes, kKeyIdBytes);
        std::memcpy(m_publicKey.data(), key + kAlgorithmBytes + kKeyIdBytes, kPublicKeyBytes);
    }
    return m_hasKey;
}

bool QvMinisignVerifier::setSignature(std::string_view text)
{
    m_hasSignature = false;
    const std::vector<std::string_view> lines = linesOf(text);
    if (lines.size() < 4 || lines[0].substr(0, kUntrustedPrefix.size()) != kUntrustedPrefix ||
        lines[2].substr(0, kTrustedPrefix.size()) != kTrustedPrefix) {
        return false;
    }
    unsigned char signature[kAlgorithmBytes + kKeyIdBytes + kSignatureBytes];
    if (!decodeExactly(trimmed(lines[1]), signature, sizeof signature) ||
        std::string_view(reinterpret_cast<const char*>(signature), kAlgorithmBytes) != kPrehashedAlgorithm ||
        !decodeExactly(trimmed(lines[3]), m_globalSignature.data(), kSignatureBytes)) {
        return false;
    }
    std::memcpy(m_signatureKeyId.data(), signature + kAlgorithmBytes, kKeyIdBytes);
    std::memcpy(m_signature.data(), signature + kAlgorithmBytes + kKeyIdBytes, kSignatureBytes);
    m_trustedComment = std::string(lines[2].substr(kTrustedPrefix.size()));
    m_hasSignature = true;
    return true;
}

void QvMinisignVerifier::update(const unsigned char* data, size_t length)
{
    if (!m_finished && length > 0) {
        crypto_generichash_update(&m_hash->state, data, length);
    }
}

bool QvMinisignVerifier::verify()
{
    if (m_finished) {
        return false;
    }
    m_finished = true;
    unsigned char hash[kHashBytes];
    crypto_generichash_final(&m_hash->state, hash, sizeof hash);
    if (!m_hasKey || !m_hasSignature || m_signatureKeyId != m_keyId) {
        return false;
    }
    if (crypto_sign_verify_detached(m_signature.data(), hash, sizeof hash, m_publicKey.data()) != 0) {
        return false;
    }
    // The trusted comment is bound to the signature by a second one over both.
    std::vector<unsigned char> global(m_signature.begin(), m_signature.end());
    global.insert(global.end(), m_trustedComment.begin(), m_trustedComment.end());
    return crypto_sign_verify_detached(m_globalSignature.data(), global.data(), global.size(), m_publicKey.data()) == 0;
}
