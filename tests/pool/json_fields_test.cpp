#include "pool/json_fields.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "pool/json_text.h"

namespace {

struct FieldCase {
  const char* text;
  const char* name;
  const char* expected;  // nullptr: expect the error below
  const char* error;
};

TEST(JsonFieldsTest, IntegerField) {
  const FieldCase cases[] = {
      {R"({"id": 42 })", "id", "42", nullptr},
      {R"({"u":"id","w":9,"id":7})", "id", "9", nullptr},
      {R"({"result":{"id":3},"id":7})", "id", "3", nullptr},
      {R"({"id":-5})", "id", nullptr, "malformed JSON integer field: id"},
      {R"({"id":"42"})", "id", nullptr, "malformed JSON integer field: id"},
      {R"({"id":)", "id", nullptr, "malformed JSON integer field: id"},
      {R"({"id")", "id", nullptr, "malformed JSON integer field: id"},
      {R"({"x":1})", "id", nullptr, "missing JSON field: id"},
  };
  for (const FieldCase& c : cases) {
    SCOPED_TRACE(c.text);
    if (c.expected != nullptr) {
      EXPECT_EQ(json_int_field(c.text, c.name), c.expected);
    } else {
      try {
        json_int_field(c.text, c.name);
        ADD_FAILURE() << "no error";
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), c.error);
      }
    }
  }
}

TEST(JsonFieldsTest, StringField) {
  const FieldCase cases[] = {
      {R"({"s":"a\"b"})", "s", R"(a\"b)", nullptr},
      {R"({"s": 5, "t":"next"})", "s", "t", nullptr},  // a non-string opens at the next quote
      {R"({"s":"a\\","t":"b"})", "s", R"(a\\",)", nullptr},
      {R"({"s":"a\\"})", "s", nullptr, "unterminated JSON string field: s"},
      {R"({"s":5})", "s", nullptr, "malformed JSON string field: s"},
      {R"({"s"})", "s", nullptr, "malformed JSON string field: s"},
      {R"({})", "s", nullptr, "missing JSON field: s"},
  };
  for (const FieldCase& c : cases) {
    SCOPED_TRACE(c.text);
    if (c.expected != nullptr) {
      EXPECT_EQ(json_string_field(c.text, c.name), c.expected);
    } else {
      try {
        json_string_field(c.text, c.name);
        ADD_FAILURE() << "no error";
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), c.error);
      }
    }
  }
}

TEST(JsonFieldsTest, ArrayField) {
  const FieldCase cases[] = {
      {R"({"p":[[1,2],"]",3]})", "p", R"([[1,2],"]",3])", nullptr},
      {R"({"p":["a\"]",{"x":[1]}],"q":1})", "p", R"(["a\"]",{"x":[1]}])", nullptr},
      {R"({"p":[1,2)", "p", nullptr, "unterminated JSON array field: p"},
      {R"({"p":1})", "p", nullptr, "malformed JSON array field: p"},
      {R"({"q":[1]})", "p", nullptr, "missing JSON array field: p"},
  };
  for (const FieldCase& c : cases) {
    SCOPED_TRACE(c.text);
    if (c.expected != nullptr) {
      EXPECT_EQ(json_array_field(c.text, c.name), c.expected);
    } else {
      try {
        json_array_field(c.text, c.name);
        ADD_FAILURE() << "no error";
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), c.error);
      }
    }
  }
}

TEST(JsonFieldsTest, SplitArray) {
  using List = std::vector<std::string>;
  EXPECT_EQ(split_json_array(R"([1,[2,3],{"a":4}])"), (List{"1", "[2,3]", R"({"a":4})"}));
  EXPECT_EQ(split_json_array("[ ]"), (List{" "}));
  EXPECT_EQ(split_json_array("[1,]"), (List{"1"}));
  EXPECT_EQ(split_json_array("[,1]"), (List{"", "1"}));
  EXPECT_EQ(split_json_array("[]"), List{});
  EXPECT_EQ(split_json_array(R"(["a,b", "c\",d"])"), (List{R"("a,b")", R"( "c\",d")"}));
  for (const char* bad : {"", "[", "1]", "[1"}) {
    EXPECT_THROW(split_json_array(bad), std::runtime_error) << bad;
  }
}

TEST(JsonFieldsTest, TrimUnquote) {
  EXPECT_EQ(trim_unquote("  \"a\\\"b\"  "), "a\"b");
  EXPECT_EQ(trim_unquote("\""), "\"");
  EXPECT_EQ(trim_unquote(" 12 "), "12");
  EXPECT_EQ(trim_unquote("\"a\\n\""), "an");
  EXPECT_EQ(trim_unquote("\"a\\\""), "a\"");
}

TEST(JsonFieldsTest, IntArrayField) {
  EXPECT_EQ(json_int_array_field(R"({"p":[0, "32", -1]})", "p"), (std::vector<int32_t>{0, 32, -1}));
  EXPECT_EQ(json_int_array_field(R"({"p":[]})", "p"), std::vector<int32_t>{});
  EXPECT_EQ(json_int_array_field(R"({"p":[12abc]})", "p"), std::vector<int32_t>{12});
  EXPECT_THROW(json_int_array_field(R"({"p":[q]})", "p"), std::invalid_argument);
  EXPECT_THROW(json_int_array_field(R"({"p":[4294967296]})", "p"), std::out_of_range);
}

TEST(JsonTextTest, EscapeAndUnescapeRoundTrip) {
  const std::string value = "a\"b\\c/\n\t\x01 \xc3\xa9";
  EXPECT_EQ(json_escape(value), "a\\\"b\\\\c/\\n\\t\\u0001 \xc3\xa9");
  EXPECT_EQ(json_unescape(json_escape(value)), value);
  EXPECT_EQ(json_unescape(R"(\u00e9\ud83d\ude00\/)"), "\xc3\xa9\xf0\x9f\x98\x80/");
  for (const char* bad : {"\\", "\\x", "\\u12", "\\ud83d", "\\udc00"}) {
    EXPECT_THROW(json_unescape(bad), std::runtime_error) << bad;
  }
  EXPECT_EQ(json_element_text(R"( "a\\b\"c" )"), "a\\b\"c");
  EXPECT_EQ(json_element_text(" 123 "), "123");
}

}  // namespace
