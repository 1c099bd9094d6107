#include <Poco/Exception.h>

#include <algorithm>
#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>
#include <cctype>
#include <ostream>
#include <string_view>

#include "rest_client.h"

// Request bodies of the REST client (JSON, form-encoded, multipart) and the request family
// that sends each of them; the transport itself is in rest_client.cpp.

namespace korvane::Engine::REST {

namespace {

const std::string kJson = "application/json";
const std::string kForm = "application/x-www-form-urlencoded";
constexpr std::string_view kBoundary = "----KorvaneBoundary7d91d0a123456";
constexpr std::string_view kCrlf = "\r\n";

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.' || c == '~';
}

bool isUnreservedOrPathCharacter(unsigned char c) {
    return isUnreserved(c) || c == '/' || c == '?' || c == '#';
}

// Characters that may stand unencoded in a request target's path: unreserved, sub-delims,
// ":", "@", "/", and "?" where the query starts.
bool isRequestTargetCharacter(unsigned char c) {
    return isUnreserved(c) ||
           std::string_view("!$&'()*+,;=:@/?").find(static_cast<char>(c)) != std::string_view::npos;
}

bool isHexDigit(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

template <typename Kept>
std::string percentEncode(std::string_view text, Kept kept) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (kept(c)) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        }
    }
    return out;
}

// What precedes the file's bytes in a multipart body.
std::string multipartHead(const std::string& fieldName, const std::string& fileName) {
    std::string body;
    body.append("--").append(kBoundary).append(kCrlf);
    body.append("Content-Disposition: form-data; name=\"")
        .append(fieldName)
        .append("\"; filename=\"")
        .append(fileName)
        .append("\"")
        .append(kCrlf);
    body.append("Content-Type: application/octet-stream").append(kCrlf).append(kCrlf);
    return body;
}

// What follows the file's bytes: the text fields and the closing delimiter.
std::string multipartTail(const NameValues& fields) {
    std::string body(kCrlf);
    for (const auto& [name, value] : fields) {
        body.append("--").append(kBoundary).append(kCrlf);
        body.append("Content-Disposition: form-data; name=\"")
            .append(name)
            .append("\"")
            .append(kCrlf)
            .append(kCrlf);
        body.append(value).append(kCrlf);
    }
    body.append("--").append(kBoundary).append("--").append(kCrlf);
    return body;
}

// Copies the slice to out a block at a time, from the slice's own descriptor: the file may be
// unlinked already, and other threads may be reading the same descriptor.
void copySlice(const Utils::FileSlice& file, std::ostream& out) {
    constexpr std::size_t kBlock = 64 * 1024;
    std::string block(kBlock, '\0');
    std::uint64_t done = 0;
    while (done < file.length && out) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, file.length - done));
        if (!Utils::readExactly(file.fd, file.offset + done, block.data(), want)) {
            throw Poco::ReadFileException("upload cut short at byte " +
                                          std::to_string(file.offset + done));
        }
        out.write(block.data(), static_cast<std::streamsize>(want));
        done += want;
    }
}

}  // namespace

std::string UrlEncode(const std::string& text) {
    return percentEncode(text, isUnreservedOrPathCharacter);
}

std::string encodePathSegment(std::string_view text) {
    return percentEncode(text, isUnreserved);
}

std::string encodeRequestTarget(std::string_view target) {
    std::string out;
    out.reserve(target.size());
    for (std::size_t i = 0; i < target.size(); ++i) {
        const char ch = target[i];
        const bool escape = ch == '%' && i + 2 < target.size() && isHexDigit(target[i + 1]) &&
                            isHexDigit(target[i + 2]);
        if (escape || isRequestTargetCharacter(static_cast<unsigned char>(ch))) {
            out.push_back(ch);
        } else {
            out.append(percentEncode(target.substr(i, 1), isUnreserved));
        }
    }
    return out;
}

std::string RestClient::appendParams(const std::string& path, const NameValues& params) const {
    if (params.empty()) return path;
    std::string target = path;
    char separator = path.find('?') == std::string::npos ? '?' : '&';
    for (const auto& [name, value] : params) {
        target.push_back(separator);
        target.append(encodePathSegment(name)).push_back('=');
        target.append(encodePathSegment(value));
        separator = '&';
    }
    return target;
}

std::string RestClient::buildForm(const boost::json::object& object) {
    std::string form;
    for (const auto& member : object) {
        if (!form.empty()) form.push_back('&');
        const boost::json::value& value = member.value();
        form.append(UrlEncode(std::string(member.key())))
            .append("=")
            .append(UrlEncode(value.is_string() ? std::string(value.get_string())
                                                : boost::json::serialize(value)));
    }
    return form;
}

RawResponse RestClient::Get(const std::string& path, Timeout timeout) const {
    return requestRaw("GET", path, nullptr, "", timeout);
}
RawResponse RestClient::GetRaw(const std::string& path, Timeout timeout) const {
    return Get(path, timeout);
}
RawResponse RestClient::Delete(const std::string& path, Timeout timeout) const {
    return requestRaw("DELETE", path, nullptr, "", timeout);
}

RawResponse RestClient::Post(const std::string& path, const boost::json::value& value,
                             Timeout timeout) const {
    const std::string body = boost::json::serialize(value);
    return requestRaw("POST", path, &body, kJson, timeout);
}
RawResponse RestClient::Put(const std::string& path, const boost::json::value& value,
                            Timeout timeout) const {
    const std::string body = boost::json::serialize(value);
    return requestRaw("PUT", path, &body, kJson, timeout);
}
RawResponse RestClient::Patch(const std::string& path, const boost::json::value& value,
                              Timeout timeout) const {
    const std::string body = boost::json::serialize(value);
    return requestRaw("PATCH", path, &body, kJson, timeout);
}
RawResponse RestClient::PostRaw(const std::string& path, const boost::json::value& value,
                                Timeout timeout) const {
    return Post(path, value, timeout);
}
RawResponse RestClient::PutRaw(const std::string& path, const boost::json::value& value,
                               Timeout timeout) const {
    return Put(path, value, timeout);
}
RawResponse RestClient::PatchRaw(const std::string& path, const boost::json::value& value,
                                 Timeout timeout) const {
    return Patch(path, value, timeout);
}

RawResponse RestClient::PostForm(const std::string& path, const std::string& form,
                                 Timeout timeout) const {
    return requestRaw("POST", path, &form, kForm, timeout);
}
RawResponse RestClient::PutForm(const std::string& path, const std::string& form,
                                Timeout timeout) const {
    return requestRaw("PUT", path, &form, kForm, timeout);
}
RawResponse RestClient::PatchForm(const std::string& path, const std::string& form,
                                  Timeout timeout) const {
    return requestRaw("PATCH", path, &form, kForm, timeout);
}
RawResponse RestClient::DeleteForm(const std::string& path, const std::string& form,
                                   Timeout timeout) const {
    return requestRaw("DELETE", path, &form, kForm, timeout);
}
RawResponse RestClient::PostFormRaw(const std::string& path, const std::string& form,
                                    Timeout timeout) const {
    return PostForm(path, form, timeout);
}
RawResponse RestClient::PutFormRaw(const std::string& path, const std::string& form,
                                   Timeout timeout) const {
    return PutForm(path, form, timeout);
}
RawResponse RestClient::PatchFormRaw(const std::string& path, const std::string& form,
                                     Timeout timeout) const {
    return PatchForm(path, form, timeout);
}
RawResponse RestClient::DeleteFormRaw(const std::string& path, const std::string& form,
                                      Timeout timeout) const {
    return DeleteForm(path, form, timeout);
}

RawResponse RestClient::PostForm(const std::string& path, const boost::json::object& object,
                                 Timeout timeout) const {
    return PostForm(path, buildForm(object), timeout);
}
RawResponse RestClient::PutForm(const std::string& path, const boost::json::object& object,
                                Timeout timeout) const {
    return PutForm(path, buildForm(object), timeout);
}
RawResponse RestClient::PatchForm(const std::string& path, const boost::json::object& object,
                                  Timeout timeout) const {
    return PatchForm(path, buildForm(object), timeout);
}
RawResponse RestClient::DeleteForm(const std::string& path, const boost::json::object& object,
                                   Timeout timeout) const {
    return DeleteForm(path, buildForm(object), timeout);
}
RawResponse RestClient::PostFormRaw(const std::string& path, const boost::json::object& object,
                                    Timeout timeout) const {
    return PostForm(path, buildForm(object), timeout);
}
RawResponse RestClient::PutFormRaw(const std::string& path, const boost::json::object& object,
                                   Timeout timeout) const {
    return PutForm(path, buildForm(object), timeout);
}
RawResponse RestClient::PatchFormRaw(const std::string& path, const boost::json::object& object,
                                     Timeout timeout) const {
    return PatchForm(path, buildForm(object), timeout);
}
RawResponse RestClient::DeleteFormRaw(const std::string& path, const boost::json::object& object,
                                      Timeout timeout) const {
    return DeleteForm(path, buildForm(object), timeout);
}

RawResponse RestClient::GetWithQuery(const std::string& path, const NameValues& params,
                                     Timeout timeout) const {
    return Get(appendParams(path, params), timeout);
}
RawResponse RestClient::DeleteWithQuery(const std::string& path, const NameValues& params,
                                        Timeout timeout) const {
    return Delete(appendParams(path, params), timeout);
}
RawResponse RestClient::PostWithQuery(const std::string& path, const boost::json::value& value,
                                      const NameValues& params, Timeout timeout) const {
    return Post(appendParams(path, params), value, timeout);
}
RawResponse RestClient::PutWithQuery(const std::string& path, const boost::json::value& value,
                                     const NameValues& params, Timeout timeout) const {
    return Put(appendParams(path, params), value, timeout);
}
RawResponse RestClient::PatchWithQuery(const std::string& path, const boost::json::value& value,
                                       const NameValues& params, Timeout timeout) const {
    return Patch(appendParams(path, params), value, timeout);
}

RawResponse RestClient::PostFormData(const std::string& path, const std::string& fieldName,
                                     const std::string& fileName,
                                     const std::vector<std::uint8_t>& bytes,
                                     const NameValues& fields, Timeout timeout) const {
    std::string body = multipartHead(fieldName, fileName);
    body.append(bytes.begin(), bytes.end()).append(multipartTail(fields));
    return requestRaw("POST", path, &body,
                      "multipart/form-data; boundary=" + std::string(kBoundary), timeout);
}

RawResponse RestClient::PostFormFile(const std::string& path, const std::string& fieldName,
                                     const std::string& fileName, const Utils::FileSlice& file,
                                     const NameValues& fields, Timeout timeout) const {
    const std::string head = multipartHead(fieldName, fileName);
    const std::string tail = multipartTail(fields);
    const OutgoingBody body{head.size() + file.length + tail.size(), [&](std::ostream& out) {
                                out << head;
                                copySlice(file, out);
                                out << tail;
                            }};
    return exchange("POST", path, &body, "multipart/form-data; boundary=" + std::string(kBoundary),
                    timeout);
}

}  // namespace korvane::Engine::REST
