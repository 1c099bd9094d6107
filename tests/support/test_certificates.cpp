#include "test_certificates.h"

#include <cstdlib>
#include <stdexcept>

#include "temp_dir.h"

namespace korvane::Testing {

namespace {

void runInFolder(const std::string& dir, const std::string& command) {
    const int status =
        std::system(("cd '" + dir + "' && " + command + " >openssl.out 2>&1").c_str());
    if (status != 0) throw std::runtime_error(command + ": " + readFile(dir + "/openssl.out"));
}

}  // namespace

TestCertificates makeTestCertificates(const std::string& dir) {
    const std::string backdated = "faketime -f -1d openssl ";
    const std::string newKey = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
    runInFolder(dir, backdated + "req -x509 -days 30" + newKey +
                         "-keyout ca.key -out ca.pem -subj '/CN=Pellix Test Store CA'");
    runInFolder(dir,
                "openssl req" + newKey + "-keyout server.key -out server.csr -subj /CN=127.0.0.1");
    writeFile(dir + "/server.ext",
              "subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\n"
              "extendedKeyUsage=serverAuth\n");
    runInFolder(dir, backdated +
                         "x509 -req -days 30 -in server.csr -CA ca.pem -CAkey ca.key "
                         "-CAcreateserial -extfile server.ext -out server.pem");
    return {dir + "/ca.pem", dir + "/server.pem", dir + "/server.key"};
}

}  // namespace korvane::Testing
