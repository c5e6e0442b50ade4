#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TempDir.h"
#include "httpclient/QvMinisignVerifier.h"

namespace {

const std::string kFile = "#!/bin/sh\necho release\n";

// The key line of a .pub file, or the signature text of a .minisig.
std::string line(const std::string& text, int index)
{
    size_t begin = 0;
    for (int i = 0; i < index; ++i) {
        begin = text.find('\n', begin) + 1;
    }
    return text.substr(begin, text.find('\n', begin) - begin);
}

struct VerifyCase {
    const char* name;
    bool legacy;                                       // minisign -l: the whole file signed, not its hash
    std::function<void(std::string& signature)> edit;  // changes the .minisig text
    std::string fed;                                   // the bytes checked
    bool signatureAccepted, verified;
};

// Key pairs and signatures come from the minisign tool itself, made afresh by the test.
TEST(QvMinisignVerifierTest, OnlyThePrehashedSignatureOfTheKeyOverTheSameBytesAndCommentVerifies)
{
    TempDir dir;
    std::string output;
    const std::string base = (dir / "a").string();
    ASSERT_EQ(ChildProcess::run("minisign", {"-G", "-W", "-f", "-p", base + ".pub", "-s", base + ".sec"}, output), 0)
        << output;
    dir.write("file", kFile);
    const std::string publicKey = line(TempDir::read(dir / "a.pub"), 1);
    const VerifyCase cases[] = {
        {"good", false, {}, kFile, true, true},
        {"file cut", false, {}, kFile.substr(1), true, false},
        {"trusted comment changed", false, [](std::string& s) { s.insert(s.find("\ntrusted comment: ") + 18, "x"); },
         kFile, true, false},
        {"legacy form", true, {}, kFile, false, false},
        {"garbage", false, [](std::string& s) { s = "untrusted comment: x\nAAAA\ntrusted comment: y\nAAAA\n"; }, kFile,
         false, false},
    };
    for (const VerifyCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {
            "-S", "-s", base + ".sec", "-m", (dir / "file").string(), "-x", (dir / "sig").string()};
        if (c.legacy) {
            args.push_back("-l");
        }
        ASSERT_EQ(ChildProcess::run("minisign", args, output), 0) << output;
        std::string signature = TempDir::read(dir / "sig");
        if (c.edit) {
            c.edit(signature);
        }
        QvMinisignVerifier verifier;
        ASSERT_TRUE(verifier.setPublicKey(" " + publicKey + "\n"));
        EXPECT_EQ(verifier.setSignature(signature), c.signatureAccepted);
        verifier.update(reinterpret_cast<const unsigned char*>(c.fed.data()), c.fed.size() / 2);
        verifier.update(reinterpret_cast<const unsigned char*>(c.fed.data()) + c.fed.size() / 2,
                        c.fed.size() - c.fed.size() / 2);
        EXPECT_EQ(verifier.verify(), c.verified);
        EXPECT_FALSE(verifier.verify());  // a check is used once
    }
    QvMinisignVerifier verifier;
    EXPECT_FALSE(verifier.setPublicKey(""));
    EXPECT_FALSE(verifier.setPublicKey(line(TempDir::read(dir / "sig"), 1)));  // a signature is no key
}

}  // namespace
