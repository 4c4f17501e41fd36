#pragma once

#include "support/ChildProcess.h"
#include "support/TemporaryHome.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace ulvarend::testing {

// A CA and a server certificate for 127.0.0.1 signed by it, and a second authority nobody
// trusts, made by the scripts' own recipe in a fresh temporary folder that goes away with the
// object. The binary that includes this defines ULVAREND_CERTIFICATES_SCRIPT, that recipe.
class TestCertificates {
public:
    TestCertificates() : directory(makeTemporaryFolder("ulvarend-certs-")) {
        const std::string command = "bash " + quoted(ULVAREND_CERTIFICATES_SCRIPT) + " " +
                                    quoted(directory) + " ulvarend-test-ca ulvarend-untrusted-ca";
        if (std::system(command.c_str()) != 0) {
            throw std::runtime_error("openssl failed: " + command);
        }
    }

    ~TestCertificates() {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

    std::string caFile() const { return (directory / "ca.pem").string(); }
    std::string untrustedCaFile() const { return (directory / "other-ca.pem").string(); }
    std::string serverCertFile() const { return (directory / "server.pem").string(); }
    std::string serverKeyFile() const { return (directory / "server.key").string(); }

    std::filesystem::path directory;
};

} // namespace ulvarend::testing
