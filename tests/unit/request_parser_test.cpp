#include "main/request_parser.h"

#include "common/json_writer.h"

#include <gtest/gtest.h>

namespace zcf {
namespace {

std::string problem(std::string_view line) {
    ParsedRequest parsed = parse_request(line);
    EXPECT_FALSE(parsed.value.has_value()) << line;
    return parsed.error;
}

TEST(RequestParser, DocumentedExamples) {
    EXPECT_EQ(problem("hello"), "expected value at line 1 column 1");
    EXPECT_EQ(problem("{\"cmd\":\"pin\""), "EOF while parsing an object at line 1 column 12");
}

TEST(RequestParser, ProblemTextsAndColumns) {
    EXPECT_EQ(problem("{\"a\" 1}"), "expected `:` at line 1 column 6");
    EXPECT_EQ(problem("{\"a\":1,}"), "trailing comma at line 1 column 8");
    EXPECT_EQ(problem("{\"a\":1,"), "EOF while parsing an object at line 1 column 7");
    EXPECT_EQ(problem("{,}"), "key must be a string at line 1 column 2");
    EXPECT_EQ(problem("[1,2"), "EOF while parsing a list at line 1 column 4");
    EXPECT_EQ(problem("[1,"), "EOF while parsing a value at line 1 column 3");
    EXPECT_EQ(problem("[1}"), "expected `,` or `]` at line 1 column 3");
    EXPECT_EQ(problem("\"\\u12"), "EOF while parsing a string at line 1 column 5");
    EXPECT_EQ(problem("\"\\u12x4\""), "invalid escape at line 1 column 6");
    EXPECT_EQ(problem("\"\\ud800\""), "unexpected end of hex escape at line 1 column 8");
    EXPECT_EQ(problem("\"\\udc00\""), "lone leading surrogate in hex escape at line 1 column 7");
    EXPECT_EQ(problem("-"), "EOF while parsing a value at line 1 column 1");
    EXPECT_EQ(problem("-x"), "invalid number at line 1 column 2");
    EXPECT_EQ(problem("1.x"), "invalid number at line 1 column 3");
    EXPECT_EQ(problem("1e"), "EOF while parsing a value at line 1 column 2");
    EXPECT_EQ(problem("nul"), "EOF while parsing a value at line 1 column 3");
    EXPECT_EQ(problem("nulx"), "expected ident at line 1 column 4");
    EXPECT_EQ(problem("{} x"), "trailing characters at line 1 column 4");
    EXPECT_EQ(problem("-1e999"), "number out of range at line 1 column 6");
}

TEST(RequestParser, NestingLimitIs127Levels) {
    const std::string ok = std::string(127, '[') + std::string(127, ']');
    EXPECT_TRUE(parse_request(ok).value.has_value());
    const std::string deep = std::string(128, '[') + std::string(128, ']');
    EXPECT_EQ(problem(deep), "recursion limit exceeded at line 1 column 128");
    std::string objects;
    for (int i = 0; i < 128; ++i) objects += "{\"a\":";
    EXPECT_EQ(problem(objects + "1" + std::string(128, '}')), "recursion limit exceeded at line 1 column 636");
}

TEST(RequestParser, ValuesKeepTheirTypes) {
    auto v = parse_request(R"({"a":1,"a":2,"u":18446744073709551615,"i":-9223372036854775808,"d":1.0,"big":18446744073709551616})");
    ASSERT_TRUE(v.value.has_value());
    const auto& o = v.value->get_object();
    EXPECT_EQ(o.at("a").as_int64(), 2);
    EXPECT_TRUE(o.at("u").is_uint64());
    EXPECT_TRUE(o.at("i").is_int64());
    EXPECT_TRUE(o.at("d").is_double());
    EXPECT_TRUE(o.at("big").is_double());
    EXPECT_TRUE(parse_request("\"pin\"").value->is_string());
}

TEST(RequestParser, ExplainerAgreesThatValidTextIsValid) {
    for (const char* text : {"{}", "[]", "0", "-0.5e+3", "\"\\ud83d\\ude00\\n\"", "[true,false,null,{\"a\":[]}]"}) {
        EXPECT_EQ(describe_json_error(text), "") << text;
        EXPECT_TRUE(parse_request(text).value.has_value()) << text;
    }
}

// The "seq" of a line too large to parse is found without building its value tree: the top-level
// member only, the last of duplicates, scalars only, escapes and keys split across buffers alike.
TEST(RequestParser, FindsTheTopLevelSeqWithoutParsing) {
    const auto seq = [](std::string_view text) {
        const std::optional<boost::json::value> found = find_seq(text);
        return found ? to_json_text(*found) : std::string("none");
    };
    EXPECT_EQ(seq(R"({"cmd":"data","seq":7,"b64":"AAAA"})"), "7");
    EXPECT_EQ(seq(R"({"seq":"a\"b\u00e9","x":[1,{"seq":2}]})"), R"("a\"bé")");
    EXPECT_EQ(seq(R"({"a":{"seq":1},"seq":null,"seq":-2.5})"), "-2.5");
    EXPECT_EQ(seq(R"({"s\u0065q":true})"), "true");
    EXPECT_EQ(seq(R"({"seq":18446744073709551615})"), "18446744073709551615");
    EXPECT_EQ(seq(R"({"seq":{"a":1}})"), "none");
    EXPECT_EQ(seq(R"({"seq":1,"seq":[2]})"), "none");
    EXPECT_EQ(seq(R"({"se":1,"seqq":2,"eq":3})"), "none");
    EXPECT_EQ(seq(R"([{"seq":1}])"), "none");
    EXPECT_EQ(seq(R"({"seq":1,)"), "none");  // not one valid value
    EXPECT_EQ(seq(R"({"seq":1} x)"), "none");
}

}  // namespace
}  // namespace zcf
