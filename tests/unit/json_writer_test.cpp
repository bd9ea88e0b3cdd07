#include "common/json_writer.h"

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

namespace zcf {
namespace {

namespace json = boost::json;

std::string rewrite(std::string_view text) { return to_json_text(json::parse(text)); }

TEST(JsonWriter, SortsKeysByBytesAtEveryDepth) {
    EXPECT_EQ(rewrite(R"({"seq":1,"ok":true,"error":"x","code":"y"})"), R"({"code":"y","error":"x","ok":true,"seq":1})");
    EXPECT_EQ(rewrite(R"({"b":{"z":1,"a":[{"y":0,"x":0}]},"a":null})"), R"({"a":null,"b":{"a":[{"x":0,"y":0}],"z":1}})");
    // Byte order: uppercase before lowercase, and non-ASCII (lead byte >= 0x80) after ASCII.
    EXPECT_EQ(rewrite("{\"\xC3\xA9\":1,\"z\":2,\"Z\":3}"), "{\"Z\":3,\"z\":2,\"\xC3\xA9\":1}");
}

TEST(JsonWriter, EscapesMinimally) {
    EXPECT_EQ(rewrite(R"(["a\tb\"c\\d/e"])"), R"(["a\tb\"c\\d/e"])");
    EXPECT_EQ(rewrite(R"(["\u0001\u001f\u007f\b\f\n\r"])"), "[\"\\u0001\\u001f\x7f\\b\\f\\n\\r\"]");
    EXPECT_EQ(rewrite(R"(["\u00e9\u2028"])"), "[\"\xC3\xA9\xE2\x80\xA8\"]");
}

TEST(JsonWriter, KeepsIntegersAndWritesShortestDoubles) {
    EXPECT_EQ(rewrite("[18446744073709551615,-9223372036854775808,0,-0]"), "[18446744073709551615,-9223372036854775808,0,0]");
    EXPECT_EQ(rewrite("[1.5,1.0,1e300,0.00001,1e-6,1.5e-7,1e16,1.234e33]"),
              "[1.5,1.0,1e300,0.00001,1e-6,1.5e-7,1e16,1.234e33]");
    EXPECT_EQ(format_double(1000000000000000.0), "1000000000000000.0");
    EXPECT_EQ(format_double(9999999999999998.0), "9999999999999998.0");
    EXPECT_EQ(format_double(0.1), "0.1");
    EXPECT_EQ(format_double(-2.5e-5), "-0.000025");
    EXPECT_EQ(format_double(123456.789), "123456.789");
    EXPECT_EQ(format_double(0.0), "0.0");
    EXPECT_EQ(format_double(18446744073709551616.0), "1.8446744073709552e19");
}

}  // namespace
}  // namespace zcf
