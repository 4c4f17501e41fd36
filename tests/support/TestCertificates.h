#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace ulvarend::testing {

// A CA and a server certificate for 127.0.0.1 signed by it, made with the openssl tool in a
// fresh temporary folder that goes away with the object.
class TestCertificates {
public:
    TestCertificates() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "ulvarend-certs-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot create a folder for test certificates");
        }
        directory = pattern;
        {
            std::ofstream extensions(directory / "server.ext");
            extensions << "subjectAltName=IP:127.0.0.1\n"
                          "basicConstraints=CA:FALSE\n"
                          "keyUsage=critical,digitalSignature,keyEncipherment\n"
                          "extendedKeyUsage=serverAuth\n";
        }
        const std::string d = directory.string();
        const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
        run("openssl req -x509" + ec + " -keyout " + d + "/ca.key -out " + d +
            "/ca.pem -days 2 -subj /CN=ulvarend-test-ca"
            " -addext basicConstraints=critical,CA:TRUE"
            " -addext keyUsage=critical,keyCertSign,cRLSign");
        run("openssl req" + ec + " -keyout " + d + "/server.key -out " + d +
            "/server.csr -subj /CN=127.0.0.1");
        run("openssl x509 -req -in " + d + "/server.csr -CA " + d + "/ca.pem -CAkey " + d +
            "/ca.key -CAcreateserial -out " + d + "/server.pem -days 2 -extfile " + d +
            "/server.ext");
        // A second authority nobody trusts, for the untrusted-certificate case.
        run("openssl req -x509" + ec + " -keyout " + d + "/other-ca.key -out " + d +
            "/other-ca.pem -days 2 -subj /CN=ulvarend-untrusted-ca"
            " -addext basicConstraints=critical,CA:TRUE"
            " -addext keyUsage=critical,keyCertSign,cRLSign");
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

private:
    static void run(const std::string& command) {
        if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) {
            throw std::runtime_error("openssl failed: " + command);
        }
    }
};

} // namespace ulvarend::testing
