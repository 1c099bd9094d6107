#include "camera_handler_answers.h"

#include <Poco/Exception.h>

#include <exception>

#include "logger.h"

namespace korvane::Utils {

Poco::JSON::Object::Ptr jsonObject(
    std::initializer_list<std::pair<std::string, Poco::Dynamic::Var>> members) {
    Poco::JSON::Object::Ptr object = new Poco::JSON::Object;
    for (const auto& [key, value] : members) {
        object->set(key, value);
    }
    return object;
}

Poco::JSON::Object::Ptr statusAnswer(int code, const std::string& msg, int status) {
    if (code != 0) {
        return get_empty_response(code);
    }
    return jsonObject({{"code", 0}, {"msg", msg}, {"status", status}});
}

Poco::JSON::Object::Ptr settingAnswer(const char* command, int code,
                                      const ChangeNotice& onChanged) {
    if (code == 0 && onChanged) {
        // The camera already took the setting; a failed notice must not turn that into an
        // error for the client.
        try {
            onChanged();
        } catch (const Poco::Exception& e) {
            Log()->error("{}() change notice failed: {};", command, e.displayText());
        } catch (const std::exception& e) {
            Log()->error("{}() change notice failed: {};", command, e.what());
        } catch (...) {
            Log()->error("{}() change notice failed;", command);
        }
    }
    return get_empty_response(code);
}

}  // namespace korvane::Utils
