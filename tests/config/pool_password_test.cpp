#include "core/errors.h"
#include "core/pool_password.h"
#include "env_fixture.h"

namespace {

struct PasswordCase {
  const char* password;
  int32_t index;
  uint32_t count;
  const char* expected;
};

TEST(PasswordForDevice, NarrowsDifficultyListsToTheDevice) {
  const PasswordCase cases[] = {
      {"x", 0, 3, "x"},
      {"", 0, 2, ""},
      {"x;d=4096", 1, 2, "x;d=4096"},          // one value is shared
      {"x;d=4096;", 1, 2, "x;d=4096;"},        // unchanged text keeps its final ";"
      {"d=", 0, 2, "d="},
      {"x;d=1,2,3,4", 2, 4, "x;d=3"},
      {"x;d=1,2,3,4", 0, 4, "x;d=1"},
      {"x;d=1,2,3,4;", 3, 4, "x;d=4"},         // a replaced password loses its final ";"
      {"d=1,,3", 1, 3, "d="},                  // empty piece between two commas
      {"d=1,2,", 1, 2, "d=2"},                 // a final comma adds no piece
      {";x;;d=5,6", 1, 2, ";x;;d=6"},          // empty items stay
      {"d=1,2;w=a,b;d=3,4", 1, 2, "d=2;w=a,b;d=4"},  // every list item, only "d=" items
      {"D=1,2,3;x", 0, 2, "D=1,2,3;x"},        // case-sensitive
      {" d=1,2,3", 0, 2, " d=1,2,3"},          // no trimming
      {"d=a, b", 1, 2, "d= b"},                // pieces are not checked
  };
  for (const PasswordCase& c : cases) {
    EXPECT_EQ(password_for_device(c.password, c.index, c.count), c.expected)
        << c.password << " @" << c.index << "/" << c.count;
  }
}

TEST(PasswordForDevice, RefusesAListThatDoesNotMatchTheDevices) {
  const auto message = [](const char* password, uint32_t count) {
    return thrown_text<CliUsageError>([&] { password_for_device(password, 0, count); });
  };
  EXPECT_EQ(message("x;d=1,2,3", 2),
            "--password d= lists 3 comma-separated difficulties but --devices has 2 GPU(s); "
            "provide exactly one difficulty per device in --devices order, or a single d= value "
            "to share across all");
  EXPECT_EQ(message("d=1,2", 1),
            "--password d= lists 2 comma-separated difficulties but --devices has 1 GPU(s); "
            "provide exactly one difficulty per device in --devices order, or a single d= value "
            "to share across all");
  // A list that matches is followed by one that does not.
  EXPECT_NE(message("d=1,2;d=1,2,3", 2).find("lists 3 "), std::string::npos);
}

TEST(DifficultyPassword, IsTheDefaultPasswordWithADifficulty) {
  EXPECT_EQ(difficulty_password(131072), "x;d=131072");
  EXPECT_EQ(difficulty_password(0), "x;d=0");
  EXPECT_EQ(difficulty_password(4294967295u), "x;d=4294967295");
}

}  // namespace
