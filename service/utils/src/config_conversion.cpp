#include "config_conversion.h"

#include <Poco/Data/Transaction.h>

#include <charconv>
#include <cstdint>
#include <map>
#include <set>
#include <string_view>
#include <system_error>

#include "agent_utils.h"
#include "config_queries.h"
#include "crypto.h"
#include "invalid_request.h"
#include "logger.h"
#include "sqlite_db.h"

namespace korvane::Utils {

namespace {

constexpr std::string_view kWhitespace = " \t\n\v\f\r";

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(kWhitespace);
    if (first == std::string::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(kWhitespace);
    return text.substr(first, last - first + 1);
}

// The number at the start of text after blanks and an optional sign; trailing text is ignored.
// False when there are no digits or the number does not fit T. Locale-independent, unlike strtod.
template <typename T>
bool parseLeadingNumber(const std::string& text, T& out) {
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    while (begin != end && kWhitespace.find(*begin) != std::string_view::npos) {
        ++begin;
    }
    // from_chars takes '-' but not '+'; a '+' must be followed directly by the digits.
    if (begin != end && *begin == '+') {
        ++begin;
        if (begin == end || *begin == '-' || *begin == '+') {
            return false;
        }
    }
    std::from_chars_result result{};
    if constexpr (std::is_floating_point_v<T>) {
        result = std::from_chars(begin, end, out, std::chars_format::general);
    } else {
        result = std::from_chars(begin, end, out, 10);
    }
    return result.ec == std::errc();
}

// The JSON type of a settings value as stored in the `type` column, "" when it has none.
// Poco's parser yields 64-bit signed integers, and unsigned ones above their range; both, and
// integers put into an object by program code, count as "int".
std::string configValueType(const Poco::Dynamic::Var& value) {
    std::string type = getTypeAsString(value);
    if (type.empty() && !value.isEmpty() && value.isInteger() && !value.isBoolean()) {
        type = "int";
    }
    return type;
}

}  // namespace

bool isEncryptedKey(const std::string& key) {
    static const std::set<std::string> kEncryptedKeys = {
        "file_storage_service_password",
        "korvane_monitoring_client_secret",
        "file_storage_service_login",
        "local_api_admin_token",
        "network_proxy",  // may carry the proxy's user and password
    };
    return kEncryptedKeys.count(key) != 0;
}

namespace {

bool isMasked(const Poco::Dynamic::Var& value) {
    return value.isString() && value.extract<std::string>() == kMaskedSecret;
}

}  // namespace

Poco::JSON::Object::Ptr maskSecrets(const Poco::JSON::Object& object) {
    Poco::JSON::Object::Ptr masked = new Poco::JSON::Object(object);
    for (const auto& name : masked->getNames()) {
        const Poco::Dynamic::Var& value = masked->get(name);
        if (isEncryptedKey(name) && !value.isEmpty() && !value.toString().empty()) {
            masked->set(name, std::string(kMaskedSecret));
        }
    }
    return masked;
}

Poco::JSON::Object::Ptr withoutMaskedSecrets(const Poco::JSON::Object& object) {
    Poco::JSON::Object::Ptr kept = new Poco::JSON::Object(object);
    for (const auto& name : object.getNames()) {
        if (isEncryptedKey(name) && isMasked(object.get(name))) kept->remove(name);
    }
    return kept;
}

Poco::Dynamic::Var makeTypedValue(const std::string& value, const std::string& type) {
    if (value.empty()) {
        return std::string();
    }
    if (type == "int") {
        std::int32_t number = 0;
        if (parseLeadingNumber(value, number)) {
            return number;
        }
    } else if (type == "double") {
        double number = 0;
        if (parseLeadingNumber(value, number)) {
            return number;
        }
    } else if (type == "bool") {
        return value == "true";
    } else if (type == "encrypted_string") {
        // Default rows of these keys are stored unencrypted and stay readable as they stand.
        try {
            return Crypto::decrypt(value);
        } catch (const std::exception& e) {
            Log()->debug("Encrypted configuration value kept as stored: {};", e.what());
        }
    }
    return value;
}

Poco::JSON::Object::Ptr configToJson(const ConfigMap& map) {
    Poco::JSON::Object::Ptr object = new Poco::JSON::Object();
    for (const auto& [key, value] : map) {
        object->set(key, value);
    }
    return object;
}

void jsonToConfig(const Poco::JSON::Object::Ptr& object, std::mutex& mutex,
                  Engine::DB::SQLiteDB& db, ConfigMap& map) {
    // Members in ascending key order whatever the object's own iteration order.
    const std::map<std::string, Poco::Dynamic::Var> members(object->begin(), object->end());

    std::lock_guard<std::mutex> lock(mutex);
    std::map<std::string, Poco::Dynamic::Var> applied;
    {
        // Rolls back in its destructor unless committed: any exception leaves the table as it was.
        Poco::Data::Transaction transaction(db.GetSession());
        for (const auto& [key, value] : members) {
            std::string type = configValueType(value);
            if (type.empty()) {
                throw InvalidRequest("Invalid config value type");
            }
            std::string text = trimmed(value.convert<std::string>());
            applied[key] = type == "string" ? Poco::Dynamic::Var(text) : value;
            if (isEncryptedKey(key)) {
                text = Crypto::encrypt(text);
                type = "encrypted_string";
            }
            Queries::upsertConfig(db.GetSession(), key, type, text);
        }
        transaction.commit();
    }
    for (auto& [key, value] : applied) {
        map[key] = std::move(value);
    }
}

}  // namespace korvane::Utils
