#include "quillan/OutputFormat.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quillan/TextTable.h"

namespace Quillan::Cli {
namespace {

// Columns line up by the columns a terminal gives the text, not by bytes: accents and Cyrillic take one a letter, a
// combining accent none, Japanese two. Cells are two spaces apart; missing cells are empty, extra ones dropped; no
// line ends in blanks.
TEST(TextTableTest, AlignsColumnsAsATerminalShowsThem) {
  TextTable table({"NAME", "STATUS", "NOTE"});
  EXPECT_TRUE(table.Empty());
  EXPECT_EQ(table.Format(), "NAME  STATUS  NOTE\n");
  table.AddRow({"caf\xc3\xa9.wav", "cached", "x"});
  table.AddRow({"\xd0\xb7\xd0\xb2\xd1\x83\xd0\xba.wav", "computed"});
  table.AddRow({"a", "failed", "why", "dropped"});
  table.AddRow({"\xe9\x9f\xb3.wav", "cafe\xcc\x81", "y"});  // 音.wav takes 6 columns; café with a combining accent 4
  EXPECT_FALSE(table.Empty());
  EXPECT_EQ(table.Format(),
            "NAME      STATUS    NOTE\n"
            "caf\xc3\xa9.wav  cached    x\n"
            "\xd0\xb7\xd0\xb2\xd1\x83\xd0\xba.wav  computed\n"
            "a         failed    why\n"
            "\xe9\x9f\xb3.wav    cafe\xcc\x81      y\n");
}

// What goes into a table cell cannot move the cursor, colour the terminal or break the line.
TEST(TextTableTest, PrintableEscapesControlCharactersAndBadBytes) {
  EXPECT_EQ(Printable("a\tb\nc\\d"), "a\\tb\\nc\\\\d");
  EXPECT_EQ(Printable("\x1b[31mred\x7f\x01"), "\\x1b[31mred\\x7f\\x01");
  EXPECT_EQ(Printable("caf\xe9 \xd0\xb7"), "caf\xef\xbf\xbd \xd0\xb7");
}

TEST(CsvLineTest, QuotesOnlyFieldsThatNeedItAndEndsWithCrlf) {
  struct Case {
    std::vector<std::string> fields;
    char const* line;
  };
  Case const cases[] = {
      {{"plain", "caf\xc3\xa9", ""}, "plain,caf\xc3\xa9,\r\n"},
      {{"a,b", "c"}, "\"a,b\",c\r\n"},
      {{"say \"hi\""}, "\"say \"\"hi\"\"\"\r\n"},
      {{"two\nlines", "cr\r"}, "\"two\nlines\",\"cr\r\"\r\n"},
      // Spaces at either end are quoted, so that readers that trim unquoted fields keep them.
      {{" lead", "trail ", "in side"}, "\" lead\",\"trail \",in side\r\n"},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(CsvLine(c.fields), c.line);
  }
}

TEST(JsonTextTest, ReplacesBytesThatAreNotUtf8) {
  EXPECT_EQ(JsonText({{"file", "caf\xe9\n"}}), "{\"file\":\"caf\xef\xbf\xbd\\n\"}");
}

}  // namespace
}  // namespace Quillan::Cli
