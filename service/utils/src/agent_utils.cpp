#include "agent_utils.h"

#include <Poco/Exception.h>
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/json.hpp>
#include <cctype>
#include <ctime>
#include <typeinfo>

namespace korvane::Utils {

namespace {

template <typename... Ts>
bool holdsOneOf(const Poco::Dynamic::Var& value) {
    return ((value.type() == typeid(Ts)) || ...);
}

boost::json::array toBoostArray(const Poco::JSON::Array& source) {
    boost::json::array result;
    result.reserve(source.size());
    for (const auto& element : source) {
        result.push_back(convertPoco2Boost(element));
    }
    return result;
}

boost::json::object toBoostObject(const Poco::JSON::Object& source) {
    boost::json::object result;
    // getNames() honours an object built to keep insertion order; begin() would not.
    for (const auto& name : source.getNames()) {
        result.emplace(name, convertPoco2Boost(source.get(name)));
    }
    return result;
}

}  // namespace

std::string getLocalIP() {
    try {
        namespace ip = boost::asio::ip;
        boost::asio::io_context context;
        ip::udp::socket socket(context);
        boost::system::error_code error;
        // Connecting a UDP socket sends nothing; the kernel just picks the outgoing route.
        socket.connect(ip::udp::endpoint(ip::make_address_v4("8.8.8.8"), 53), error);
        if (error) {
            return {};
        }
        const auto local = socket.local_endpoint(error);
        if (error) {
            return {};
        }
        socket.close(error);
        return local.address().to_string();
    } catch (...) {
        // Having no address is an ordinary state of an offline machine, not an error to report.
        return {};
    }
}

std::string utc_format(const std::string& text, bool toLocal) {
    constexpr std::size_t kStampLength = 14;
    if (text.size() != kStampLength) {
        return {};
    }
    for (const char c : text) {
        if (std::isdigit(static_cast<unsigned char>(c)) == 0) {
            return {};
        }
    }
    std::tm fields{};
    const char* end = ::strptime(text.c_str(), "%Y%m%d%H%M%S", &fields);
    if (end == nullptr || *end != '\0') {
        return {};
    }
    const std::tm parsed = fields;
    const std::time_t point = ::timegm(&fields);
    std::tm broken{};
    if (::gmtime_r(&point, &broken) == nullptr) {
        return {};
    }
    // timegm() silently rolls 30 February over into March; such a stamp is not a real time.
    if (broken.tm_year != parsed.tm_year || broken.tm_mon != parsed.tm_mon ||
        broken.tm_mday != parsed.tm_mday || broken.tm_hour != parsed.tm_hour ||
        broken.tm_min != parsed.tm_min || broken.tm_sec != parsed.tm_sec) {
        return {};
    }
    if (toLocal && ::localtime_r(&point, &broken) == nullptr) {
        return {};
    }
    char buffer[32];
    const std::size_t written = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &broken);
    return std::string(buffer, written);
}

std::string getTypeAsString(const Poco::Dynamic::Var& value) {
    // The name is stored beside the value and read back later, so only the types that are
    // restored faithfully get one; a 32-bit int deliberately has none.
    if (value.type() == typeid(std::string)) {
        return "string";
    }
    if (holdsOneOf<Poco::Int64, long long>(value)) {
        return "int";
    }
    if (value.type() == typeid(double)) {
        return "double";
    }
    if (value.type() == typeid(bool)) {
        return "bool";
    }
    return {};
}

boost::json::value convertPoco2Boost(const Poco::Dynamic::Var& value) {
    if (value.isEmpty()) {
        return nullptr;
    }
    if (value.type() == typeid(std::string)) {
        return boost::json::string(value.extract<std::string>());
    }
    if (value.type() == typeid(bool)) {
        return value.extract<bool>();
    }
    if (holdsOneOf<Poco::Int64, long, long long, int>(value)) {
        return value.convert<std::int64_t>();
    }
    if (holdsOneOf<Poco::UInt64, unsigned long, unsigned long long, unsigned int>(value)) {
        return value.convert<std::uint64_t>();
    }
    if (holdsOneOf<double, float>(value)) {
        return value.convert<double>();
    }
    if (value.type() == typeid(Poco::JSON::Array::Ptr)) {
        const auto& array = value.extract<Poco::JSON::Array::Ptr>();
        if (array.isNull()) {
            throw Poco::NullPointerException("JSON array pointer is null");
        }
        return toBoostArray(*array);
    }
    if (value.type() == typeid(Poco::JSON::Object::Ptr)) {
        const auto& object = value.extract<Poco::JSON::Object::Ptr>();
        if (object.isNull()) {
            throw Poco::NullPointerException("JSON object pointer is null");
        }
        return toBoostObject(*object);
    }
    if (value.type() == typeid(Poco::JSON::Array)) {
        return toBoostArray(value.extract<Poco::JSON::Array>());
    }
    if (value.type() == typeid(Poco::JSON::Object)) {
        return toBoostObject(value.extract<Poco::JSON::Object>());
    }
    try {
        return boost::json::string(value.convert<std::string>());
    } catch (const std::exception&) {
        // A value with no text form has nothing meaningful to carry over.
        return nullptr;
    }
}

Poco::Dynamic::Var convertJsonBoost2Poco(const boost::json::value& value) {
    switch (value.kind()) {
        case boost::json::kind::null:
            return {};
        case boost::json::kind::string: {
            const auto& text = value.get_string();
            return std::string(text.data(), text.size());
        }
        case boost::json::kind::double_:
            return value.get_double();
        case boost::json::kind::int64:
            return static_cast<Poco::Int64>(value.get_int64());
        case boost::json::kind::uint64:
            return static_cast<Poco::UInt64>(value.get_uint64());
        case boost::json::kind::bool_:
            return value.get_bool();
        case boost::json::kind::object: {
            Poco::JSON::Object::Ptr object = new Poco::JSON::Object();
            for (const auto& member : value.get_object()) {
                object->set(std::string(member.key()), convertJsonBoost2Poco(member.value()));
            }
            return object;
        }
        case boost::json::kind::array: {
            Poco::JSON::Array::Ptr array = new Poco::JSON::Array();
            for (const auto& element : value.get_array()) {
                array->add(convertJsonBoost2Poco(element));
            }
            return array;
        }
    }
    return {};
}

}  // namespace korvane::Utils
