/* Windows command-line splitting, as CreateProcessA applies it to the lines it
 * is given. */
#include <gtest/gtest.h>

#include "../../platform/posix/src/cmdline.h"

typedef std::vector<std::string> Words;

TEST(CommandLine, BlanksAndTabsSeparateAndRunsCollapse) {
    EXPECT_EQ(SplitWindowsCommandLine("prog a  b\tc \t "), (Words{"prog", "a", "b", "c"}));
    EXPECT_EQ(SplitWindowsCommandLine("   prog"), (Words{"prog"}));
    EXPECT_EQ(SplitWindowsCommandLine(""), Words{});
    EXPECT_EQ(SplitWindowsCommandLine(" \t "), Words{});
    EXPECT_EQ(SplitWindowsCommandLine(nullptr), Words{});
}

TEST(CommandLine, QuotesGroupAndMayStartMidWord) {
    EXPECT_EQ(SplitWindowsCommandLine("p \"a b\" c\"d e\"f \"\""), (Words{"p", "a b", "cd ef", ""}));
    EXPECT_EQ(SplitWindowsCommandLine("p \"unterminated  blanks"), (Words{"p", "unterminated  blanks"}));
}

TEST(CommandLine, BackslashesCountOnlyBeforeAQuote) {
    /* 2n backslashes + quote: n backslashes and a delimiter; 2n+1: n and a literal quote. */
    EXPECT_EQ(SplitWindowsCommandLine("p a\\\\b c\\d"), (Words{"p", "a\\\\b", "c\\d"}));
    EXPECT_EQ(SplitWindowsCommandLine("p a\\\"b"), (Words{"p", "a\"b"}));
    EXPECT_EQ(SplitWindowsCommandLine("p \"a\\\\\" b"), (Words{"p", "a\\", "b"}));
    EXPECT_EQ(SplitWindowsCommandLine("p a\\\\\\\"b"), (Words{"p", "a\\\"b"}));
    EXPECT_EQ(SplitWindowsCommandLine("p \"C:\\dir\\\\\""), (Words{"p", "C:\\dir\\"}));
}

TEST(CommandLine, DoubledQuoteInsideQuotesIsLiteral) {
    EXPECT_EQ(SplitWindowsCommandLine("p \"a\"\"b\" c"), (Words{"p", "a\"b", "c"}));
    EXPECT_EQ(SplitWindowsCommandLine("p \"say \"\"hi\"\"\""), (Words{"p", "say \"hi\""}));
}

TEST(CommandLine, ProgramNameTakesNoBackslashRules) {
    EXPECT_EQ(SplitWindowsCommandLine("\"C:\\Program Files\\x\\\" y"), (Words{"C:\\Program Files\\x\\", "y"}));
    EXPECT_EQ(SplitWindowsCommandLine("C:\\a\\\"b c\" d"), (Words{"C:\\a\\b c", "d"}));
    EXPECT_EQ(SplitWindowsCommandLine("\"/opt/my app/bin\"x arg"), (Words{"/opt/my app/binx", "arg"}));
    EXPECT_EQ(SplitWindowsCommandLine("\"\" a"), (Words{"", "a"}));
}
