#include "agent_utils.h"

#include <Poco/DateTime.h>
#include <Poco/Exception.h>
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/JSON/Stringifier.h>
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <ctime>
#include <limits>
#include <optional>
#include <sstream>
#include <string>

#include "temp_dir.h"

using namespace korvane::Utils;
using Poco::Dynamic::Var;
namespace json = boost::json;

namespace {

// Switches the process time zone for one test and restores the previous one.
class TimeZoneGuard {
  public:
    explicit TimeZoneGuard(const char* zone) : zone_(std::in_place, "TZ", zone) { ::tzset(); }
    ~TimeZoneGuard() {
        zone_.reset();
        ::tzset();
    }
    TimeZoneGuard(const TimeZoneGuard&) = delete;
    TimeZoneGuard& operator=(const TimeZoneGuard&) = delete;

  private:
    std::optional<korvane::Testing::ScopedEnv> zone_;
};

std::string stringify(const Var& value) {
    std::ostringstream out;
    Poco::JSON::Stringifier::stringify(value, out);
    return out.str();
}

struct Opaque {
    int n = 0;
};

}  // namespace

TEST(AgentUtilsTime, UtcFormatTable) {
    struct Case {
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {"20260930084507", "2026-09-30 08:45:07"},
        {"20261231235959", "2026-12-31 23:59:59"},
        {"20240229000000", "2024-02-29 00:00:00"},
        {"19700101000000", "1970-01-01 00:00:00"},
        {"", ""},
        {"2026093008450", ""},    // 13 characters
        {"202609300845071", ""},  // 15 characters
        {"2026093008450a", ""},
        {"2026a930084507", ""},
        {" 2026093008450", ""},
        {"+2026093008450", ""},
        {"20261301000000", ""},  // month 13
        {"20260230120000", ""},  // 30 February does not exist
        {"20250229120000", ""},  // not a leap year
        {"20260930246000", ""},  // hour 24
        {"20260930086007", ""},  // minute 60
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(utc_format(c.text, false), c.expected);
    }
}

TEST(AgentUtilsTime, UtcFormatToLocalUsesTimeZone) {
    {
        TimeZoneGuard zone("UTC-3");  // POSIX sign: three hours east of UTC
        EXPECT_EQ(utc_format("20260930084507", true), "2026-09-30 11:45:07");
        EXPECT_EQ(utc_format("20261231235959", true), "2027-01-01 02:59:59");
        EXPECT_EQ(utc_format("20260930084507", false), "2026-09-30 08:45:07");
        EXPECT_EQ(utc_format("2026093008450x", true), "");
    }
    {
        TimeZoneGuard zone("UTC+5");
        EXPECT_EQ(utc_format("20260101020000", true), "2025-12-31 21:00:00");
    }
}

TEST(AgentUtilsTypes, GetTypeAsStringByStoredType) {
    struct Case {
        const char* label;
        Var value;
        std::string expected;
    };
    const Case cases[] = {
        {"string", Var(std::string("text")), "string"},
        {"empty string", Var(std::string()), "string"},
        {"C string", Var("text"), "string"},
        {"Int64", Var(Poco::Int64(5)), "int"},
        {"long long", Var(5LL), "int"},
        {"int32", Var(Poco::Int32(5)), ""},
        {"int16", Var(Poco::Int16(5)), ""},
        {"UInt64", Var(Poco::UInt64(5)), ""},
        {"double", Var(1.5), "double"},
        {"float", Var(1.5f), ""},
        {"bool", Var(false), "bool"},
        {"empty", Var(), ""},
        {"object", Var(Poco::JSON::Object::Ptr(new Poco::JSON::Object)), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(getTypeAsString(c.value), c.expected);
    }
}

TEST(AgentUtilsTypes, IntegersParsedFromJsonAreInt) {
    Poco::JSON::Parser parser;
    const auto object = parser.parse(R"({"small":5,"negative":-7,"large":5000000000,"real":2.5})")
                            .extract<Poco::JSON::Object::Ptr>();
    EXPECT_EQ(getTypeAsString(object->get("small")), "int");
    EXPECT_EQ(getTypeAsString(object->get("negative")), "int");
    EXPECT_EQ(getTypeAsString(object->get("large")), "int");
    EXPECT_EQ(getTypeAsString(object->get("real")), "double");
}

TEST(AgentUtilsJson, Poco2BoostScalars) {
    struct Case {
        const char* label;
        Var value;
        json::value expected;
    };
    const Case cases[] = {
        {"empty", Var(), nullptr},
        {"string", Var(std::string("héllo")), json::string("héllo")},
        {"bool", Var(true), true},
        {"int32", Var(Poco::Int32(-42)), std::int64_t(-42)},
        {"Int64", Var(std::numeric_limits<Poco::Int64>::min()),
         std::numeric_limits<std::int64_t>::min()},
        {"long long", Var(7LL), std::int64_t(7)},
        {"uint32", Var(Poco::UInt32(4000000000u)), std::uint64_t(4000000000u)},
        {"UInt64", Var(std::numeric_limits<Poco::UInt64>::max()),
         std::numeric_limits<std::uint64_t>::max()},
        {"double", Var(2.25), 2.25},
        {"float", Var(1.5f), 1.5},
        {"date", Var(Poco::DateTime(2026, 9, 30, 8, 45, 7)), json::string("2026-09-30T08:45:07Z")},
        {"no text form", Var(Opaque{3}), nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const json::value result = convertPoco2Boost(c.value);
        EXPECT_EQ(result.kind(), c.expected.kind());
        EXPECT_EQ(result, c.expected);
    }
}

TEST(AgentUtilsJson, Poco2BoostNestedKeepsSourceKeyOrder) {
    Poco::JSON::Parser parser;
    const Var parsed = parser.parse(
        R"({"z":{"b":[1,{"y":null,"x":"s"},[]],"a":true},"m":[1.5,-2,18446744073709551615],"a":{}})");
    EXPECT_EQ(json::serialize(convertPoco2Boost(parsed)),
              R"({"a":{},"m":[1.5E0,-2,18446744073709551615],)"
              R"("z":{"a":true,"b":[1,{"x":"s","y":null},[]]}})");

    // An object built to keep insertion order must keep it on the Boost side too.
    Poco::JSON::Object::Ptr ordered = new Poco::JSON::Object(Poco::JSON_PRESERVE_KEY_ORDER);
    ordered->set("zeta", 1);
    ordered->set("alpha", 2);
    ordered->set("mid", 3);
    EXPECT_EQ(json::serialize(convertPoco2Boost(ordered)), R"({"zeta":1,"alpha":2,"mid":3})");
}

TEST(AgentUtilsJson, Poco2BoostContainersByValue) {
    Poco::JSON::Array array;
    array.add(1);
    array.add(std::string("two"));
    Poco::JSON::Object object;
    object.set("list", array);
    object.set("flag", false);
    EXPECT_EQ(json::serialize(convertPoco2Boost(Var(array))), R"([1,"two"])");
    EXPECT_EQ(json::serialize(convertPoco2Boost(Var(object))),
              R"({"flag":false,"list":[1,"two"]})");
}

TEST(AgentUtilsJson, Poco2BoostNullPointersThrow) {
    EXPECT_THROW(convertPoco2Boost(Var(Poco::JSON::Object::Ptr())), Poco::NullPointerException);
    EXPECT_THROW(convertPoco2Boost(Var(Poco::JSON::Array::Ptr())), Poco::NullPointerException);

    Poco::JSON::Object::Ptr outer = new Poco::JSON::Object;
    Poco::JSON::Array::Ptr inner = new Poco::JSON::Array;
    inner->add(Poco::JSON::Array::Ptr());
    outer->set("inner", inner);
    EXPECT_THROW(convertPoco2Boost(Var(outer)), Poco::NullPointerException);
}

TEST(AgentUtilsJson, Boost2PocoTypesAndSortedKeys) {
    const json::value source = json::parse(
        R"({"b":1,"a":[1,-2,18446744073709551615,1.5,"s",true,null,{"y":2,"x":3}],"c":{}})");
    const Var converted = convertJsonBoost2Poco(source);

    ASSERT_EQ(converted.type(), typeid(Poco::JSON::Object::Ptr));
    EXPECT_EQ(stringify(converted),
              R"({"a":[1,-2,18446744073709551615,1.5,"s",true,null,{"x":3,"y":2}],"b":1,"c":{}})");

    const auto object = converted.extract<Poco::JSON::Object::Ptr>();
    const auto array = object->getArray("a");
    ASSERT_FALSE(array.isNull());
    EXPECT_EQ(array->get(0).type(), typeid(Poco::Int64));
    EXPECT_EQ(array->get(1).type(), typeid(Poco::Int64));
    EXPECT_EQ(array->get(2).type(), typeid(Poco::UInt64));
    EXPECT_EQ(array->get(3).type(), typeid(double));
    EXPECT_EQ(array->get(4).type(), typeid(std::string));
    EXPECT_EQ(array->get(5).type(), typeid(bool));
    EXPECT_TRUE(array->get(6).isEmpty());
    EXPECT_EQ(array->get(7).type(), typeid(Poco::JSON::Object::Ptr));

    EXPECT_TRUE(convertJsonBoost2Poco(json::value(nullptr)).isEmpty());
}

TEST(AgentUtilsJson, RoundTripsBetweenModels) {
    const std::string text =
        R"({"zz":[{"k":"v","b":false},[],[[-9223372036854775808]]],"n":null,)"
        R"("u":18446744073709551615,"d":-0.5,"s":"\u00e9\"q","a":{"y":1,"x":2}})";
    const json::value original = json::parse(text);

    const json::value back = convertPoco2Boost(convertJsonBoost2Poco(original));
    EXPECT_EQ(back, original);
    // The trip through Poco sorts every object's members.
    EXPECT_EQ(json::serialize(back),
              R"({"a":{"x":2,"y":1},"d":-5E-1,"n":null,"s":"é\"q","u":18446744073709551615,)"
              R"("zz":[{"b":false,"k":"v"},[],[[-9223372036854775808]]]})");

    const Var poco = Poco::JSON::Parser().parse(text);
    const Var pocoBack = convertJsonBoost2Poco(convertPoco2Boost(poco));
    EXPECT_EQ(stringify(pocoBack), stringify(poco));
}

TEST(AgentUtilsNetwork, LocalIpIsEmptyOrDottedIPv4) {
    const std::string ip = getLocalIP();
    if (ip.empty()) {
        GTEST_SKIP() << "no route to the outside on this machine";
    }
    in_addr parsed{};
    EXPECT_EQ(::inet_pton(AF_INET, ip.c_str(), &parsed), 1) << ip;
    EXPECT_NE(ip, "0.0.0.0");
}
