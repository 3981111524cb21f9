#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "control/argfiles.h"
#include "control/java_command_line.h"
#include "jvm/jvm.h"

namespace {

std::vector<std::string> Strings(const StringList &list) {
    return std::vector<std::string>(list.items, list.items + list.count);
}

/* The words that `read` (a reader of a text of its own format) takes from `text`. */
std::vector<std::string> Words(void (*read)(const char *, size_t, StringList *), const std::string &text) {
    StringList words = {};
    read(text.data(), text.size(), &words);
    std::vector<std::string> result = Strings(words);
    ClearStrings(&words);
    return result;
}

std::vector<std::string> ParseConfig(const std::string &text) { return Words(ParseJvmConfigText, text); }

std::string Choose(const std::vector<std::string> &types, const char *requested) {
    StringList list = {};
    for (const std::string &type : types) AddString(&list, type.c_str());
    char *chosen = ChooseJvmType(&list, requested);
    std::string result = chosen;
    free(chosen);
    ClearStrings(&list);
    return result;
}

std::vector<std::string> OptionStrings(const VmOptionList &list) {
    std::vector<std::string> result;
    for (int i = 0; i < list.count; i++) result.push_back(list.options[i].optionString);
    return result;
}

TEST(JvmConfig, TakesTheFirstWordOfEveryDashLineWhateverItsFlag) {
    EXPECT_EQ(ParseConfig("# comment -x\n-client KNOWN\n-server KNOWN\n-hotspot ALIASED_TO -client\n"),
              (std::vector<std::string>{"-client", "-server", "-hotspot"}));
    EXPECT_EQ(ParseConfig("\n  -indented KNOWN\n-tab\tIGNORE\r\n-crlf\r\n-last"),
              (std::vector<std::string>{"-tab", "-crlf", "-last"}));
    EXPECT_EQ(ParseConfig("# only comments\n\n"), std::vector<std::string>{});
}

TEST(JvmConfig, ReadsALongLineInPiecesOf259Characters) {
    /* The second piece of a long line counts as a line of its own. */
    std::string longLine = "-first" + std::string(253, 'x') + "-second KNOWN\n";
    EXPECT_EQ(ParseConfig(longLine), (std::vector<std::string>{"-first" + std::string(253, 'x'), "-second"}));
    /* A line of exactly 259 characters leaves only its line feed as the next piece. */
    std::string exact = "-" + std::string(258, 'y') + "\n-next\n";
    EXPECT_EQ(ParseConfig(exact), (std::vector<std::string>{"-" + std::string(258, 'y'), "-next"}));
}

TEST(ChooseJvmType, TakesTheRequestedTypeOnlyWhenListedExactly) {
    std::vector<std::string> types = {"-client", "-server", "-hotspot"};
    EXPECT_EQ(Choose(types, nullptr), "-client");
    EXPECT_EQ(Choose(types, "-server"), "-server");
    EXPECT_EQ(Choose(types, "-hotspot"), "-hotspot");
    EXPECT_EQ(Choose(types, "-Server"), "-client");
    EXPECT_EQ(Choose(types, "server"), "-client");
    EXPECT_EQ(Choose(types, ""), "-client");
    EXPECT_EQ(Choose({}, "-server"), "");
    EXPECT_EQ(Choose({"-" + std::string(100, 'z')}, nullptr).size(), 63u);
}

TEST(ClassNameToPath, ReplacesEveryDot) {
    char *path = ClassNameToPath("a.b.Main");
    EXPECT_STREQ(path, "a/b/Main");
    free(path);
    path = ClassNameToPath("a/b/Main");
    EXPECT_STREQ(path, "a/b/Main");
    free(path);
}

TEST(VmOptionList, GrowsFromFourByDoublingAndKeepsOrderAndExtraInfo) {
    VmOptionList list = {};
    int marker = 0;
    AddVmOption(&list, "exit", &marker);
    EXPECT_EQ(list.capacity, 4);
    AddUserDirOption(&list, "/srv/app");
    AddClassPathOption(&list, "/srv/app");
    AddMultiStringOptions(&list, "-Xmx64m\0-Dx=y\0");
    AddMultiStringOptions(&list, "\0");
    AddMultiStringOptions(&list, nullptr);
    EXPECT_EQ(list.capacity, 8);
    EXPECT_EQ(OptionStrings(list), (std::vector<std::string>{"exit", "-Duser.dir=/srv/app",
                                                             "-Djava.class.path=/srv/app", "-Xmx64m", "-Dx=y"}));
    EXPECT_EQ(list.options[0].extraInfo, &marker);
    EXPECT_EQ(list.options[1].extraInfo, nullptr);
    FreeVmOptions(&list);
    EXPECT_EQ(list.count, 0);
}

TEST(VmOptionList, TheEnvironmentClassPathDefaultsToTheCurrentDirectory) {
    VmOptionList list = {};
    unsetenv("CLASSPATH");
    AddEnvironmentClassPathOption(&list);
    setenv("CLASSPATH", "/a:/b", 1);
    AddEnvironmentClassPathOption(&list);
    EXPECT_EQ(OptionStrings(list), (std::vector<std::string>{"-Djava.class.path=.", "-Djava.class.path=/a:/b"}));
    FreeVmOptions(&list);
}

struct Parsed {
    int result;
    std::vector<std::string> probe, options, arguments;
    std::string mainName;
    int archive;
};

Parsed Parse(std::vector<std::string> words) {
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(&word[0]);
    VmOptionList probe = {};
    JavaCommandLine line = {};
    Parsed parsed;
    parsed.result = ParseJavaCommandLine((int)argv.size(), argv.data(), &probe, &line);
    parsed.probe = OptionStrings(probe);
    parsed.options = Strings(line.options);
    parsed.arguments = Strings(line.arguments);
    parsed.mainName = line.mainName != nullptr ? line.mainName : "";
    parsed.archive = line.archive;
    ClearJavaCommandLine(&line);
    FreeVmOptions(&probe);
    return parsed;
}

TEST(JavaCommandLine, OptionsClassPathMainClassAndArguments) {
    Parsed parsed = Parse({"-Xmx256m", "-cp", "lib/app.jar", "com.acme.Main", "a", "b"});
    EXPECT_EQ(parsed.result, 0);
    EXPECT_EQ(parsed.options, (std::vector<std::string>{"-Xmx256m", "-Djava.class.path=lib/app.jar"}));
    EXPECT_EQ(parsed.probe, parsed.options);
    EXPECT_EQ(parsed.mainName, "com.acme.Main");
    EXPECT_EQ(parsed.archive, 0);
    EXPECT_EQ(parsed.arguments, (std::vector<std::string>{"a", "b"}));
}

TEST(JavaCommandLine, TheArchiveClassPathComesLastInTheProbeOnly) {
    Parsed parsed = Parse({"-cp", "x", "-jar", "app.jar", "x"});
    EXPECT_EQ(parsed.result, 0);
    EXPECT_EQ(parsed.archive, 1);
    EXPECT_EQ(parsed.mainName, "app.jar");
    EXPECT_EQ(parsed.options, (std::vector<std::string>{"-Djava.class.path=x"}));
    EXPECT_EQ(parsed.probe, (std::vector<std::string>{"-Djava.class.path=x", "-Djava.class.path=app.jar"}));
    EXPECT_EQ(parsed.arguments, (std::vector<std::string>{"x"}));
}

TEST(JavaCommandLine, TheWordAfterClassPathIsTakenWhateverItsForm) {
    Parsed parsed = Parse({"-classpath", "-foo", "Main", "-verbose", "/quiet", "-cp"});
    EXPECT_EQ(parsed.result, 0);
    EXPECT_EQ(parsed.options, (std::vector<std::string>{"-Djava.class.path=-foo"}));
    EXPECT_EQ(parsed.mainName, "Main");
    EXPECT_EQ(parsed.arguments, (std::vector<std::string>{"-verbose", "/quiet", "-cp"}));
}

TEST(JavaCommandLine, AnEmptyClassPathIsStoredAsAnOption) {
    Parsed parsed = Parse({"-cp", "", "Main"});
    EXPECT_EQ(parsed.result, 0);
    EXPECT_EQ(parsed.options, std::vector<std::string>{"-Djava.class.path="});
}

/* What the launcher takes in two words, or in a form of its own, reaches the
 * virtual machine in the form its invocation interface knows. */
TEST(JavaCommandLine, LauncherFormsBecomeTheMachinesForms) {
    Parsed parsed = Parse({"--add-opens", "java.base/java.lang=ALL-UNNAMED", "--add-modules", "java.sql",
                           "-p", "mods", "--module-path", "more", "--class-path", "a.jar", "--class-path=b.jar",
                           "--add-exports=java.base/sun.nio.ch=ALL-UNNAMED", "-m", "Main", "x"});
    EXPECT_EQ(parsed.result, 0);
    EXPECT_EQ(parsed.options,
              (std::vector<std::string>{"--add-opens=java.base/java.lang=ALL-UNNAMED", "--add-modules=java.sql",
                                        "--module-path=mods", "--module-path=more", "-Djava.class.path=a.jar",
                                        "-Djava.class.path=b.jar", "--add-exports=java.base/sun.nio.ch=ALL-UNNAMED",
                                        "-m"}));
    EXPECT_EQ(parsed.probe, parsed.options);
    EXPECT_EQ(parsed.mainName, "Main");
    EXPECT_EQ(parsed.arguments, std::vector<std::string>{"x"});
}

std::vector<std::string> Split(const std::string &text) { return Words(SplitArgumentFile, text); }

/* The rules of the java launcher, checked against the JDK's own java. */
TEST(ArgumentFile, SplitsAsTheJavaLauncherDoes) {
    EXPECT_EQ(Split("-cp lib/a.jar\n\tMain  \"two words\" c\"d e\"f 'q \"x' # comment \"ignored\n  last"),
              (std::vector<std::string>{"-cp", "lib/a.jar", "Main", "two words", "cd ef", "q \"x", "last"}));
    /* Escapes and joined lines only inside quotes; an open quote ends with its line. */
    EXPECT_EQ(Split("\"a\\tb\\\\c\\qd\" C:\\dir \"con\\\n    tinued\" \"open\nnext"),
              (std::vector<std::string>{"a\tb\\cqd", "C:\\dir", "continued", "open", "next"}));
    /* A comment drops the token it interrupts; "" is an empty word. */
    EXPECT_EQ(Split("-Dx=a#b\n\"\" end"), (std::vector<std::string>{"", "end"}));
    EXPECT_EQ(Split(""), std::vector<std::string>{});
}

std::vector<std::string> Expand(std::vector<std::string> words, int *result) {
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(&word[0]);
    StringList expanded = {};
    *result = ExpandArgumentFiles((int)argv.size(), argv.data(), &expanded);
    std::vector<std::string> out = Strings(expanded);
    ClearStrings(&expanded);
    return out;
}

TEST(ArgumentFile, FilesBeforeTheMainNameAreExpandedOnce) {
    char path[] = "/tmp/pelorim-argfile-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string text = "--add-opens java.base/java.lang=ALL-UNNAMED -cp @inner\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
    close(fd);
    std::string file = std::string("@") + path;
    int result = -1;
    EXPECT_EQ(Expand({"-Xmx64m", file, "@@Main", file}, &result),
              (std::vector<std::string>{"-Xmx64m", "--add-opens", "java.base/java.lang=ALL-UNNAMED", "-cp",
                                        "@inner", "@Main", file}));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Expand({"--disable-@files", file, "Main"}, &result),
              (std::vector<std::string>{"--disable-@files", file, "Main"}));
    unlink(path);
    testing::internal::CaptureStderr();
    Expand({file}, &result);
    EXPECT_EQ(result, 8);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(std::string("Argument file ") + path + " cannot be read: "),
              std::string::npos);
}

TEST(JavaCommandLine, IncompleteOrEmptyWordsAreRefusedWith8) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(Parse({"-Xmx64m", "-cp"}).result, 8);
    EXPECT_EQ(Parse({"-Xmx64m"}).result, 8);
    EXPECT_EQ(Parse({}).result, 8);
    EXPECT_EQ(Parse({"Main", "a", "", "c"}).result, 8);
    EXPECT_EQ(Parse({""}).result, 8);
    EXPECT_EQ(Parse({"--add-opens"}).result, 8);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "-cp requires class path specification\n"
                   "main class or jar file not specified\n"
                   "main class or jar file not specified\n"
                   "Empty argument (\"\") in the Java command line cannot be stored; remove it or give it a value\n"
                   "Empty argument (\"\") in the Java command line cannot be stored; remove it or give it a value\n"
                   "--add-opens requires a value\n");
}

} // namespace
