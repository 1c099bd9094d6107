#pragma once
// A private certificate authority and a server certificate for 127.0.0.1 and localhost signed
// by it, made with the openssl command line, for tests of services behind a store's own CA.
// They are dated a day back, so that an Agent whose clock is hours behind accepts them too.
// Call from the test's thread.

#include <string>

namespace korvane::Testing {

struct TestCertificates {
    std::string caFile;  // the authority's certificate (PEM), to trust
    std::string certificateFile;
    std::string privateKeyFile;
};

// Writes the PEM files into dir; throws with openssl's output when a step fails.
TestCertificates makeTestCertificates(const std::string& dir);

}  // namespace korvane::Testing
