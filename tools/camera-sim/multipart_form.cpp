#include "multipart_form.h"

#include <Poco/Net/MessageHeader.h>
#include <Poco/Net/MultipartReader.h>
#include <Poco/Net/NameValueCollection.h>
#include <Poco/StreamCopier.h>
#include <Poco/String.h>

#include <sstream>

#include "sim_message.h"

namespace korvane::CameraSim {

bool isMultipart(const std::string& contentType) {
    return Poco::icompare(contentType.substr(0, 19), "multipart/form-data") == 0;
}

std::vector<FormPart> parseMultipart(const std::string& contentType, const std::string& body) {
    if (!isMultipart(contentType)) {
        throw CommandError(kParameterError, "Parameter error: multipart/form-data expected");
    }
    std::string mediaType;
    Poco::Net::NameValueCollection parameters;
    Poco::Net::MessageHeader::splitParameters(contentType, mediaType, parameters);
    const std::string boundary = parameters.get("boundary", "");
    if (boundary.empty()) throw CommandError(kParameterError, "Parameter error: no boundary");

    std::vector<FormPart> parts;
    try {
        std::istringstream in(body);
        Poco::Net::MultipartReader reader(in, boundary);
        while (reader.hasNextPart()) {
            Poco::Net::MessageHeader header;
            reader.nextPart(header);
            FormPart part;
            std::string disposition;
            Poco::Net::NameValueCollection dispositionParams;
            Poco::Net::MessageHeader::splitParameters(header.get("Content-Disposition", ""),
                                                      disposition, dispositionParams);
            part.name = dispositionParams.get("name", "");
            part.filename = dispositionParams.get("filename", "");
            part.contentType = header.get("Content-Type", "");
            Poco::StreamCopier::copyToString(reader.stream(), part.data);
            parts.push_back(std::move(part));
        }
    } catch (const Poco::Exception& e) {
        throw CommandError(kParameterError,
                           "Parameter error: broken multipart body: " + e.displayText());
    }
    return parts;
}

}  // namespace korvane::CameraSim
