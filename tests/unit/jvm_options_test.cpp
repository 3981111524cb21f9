#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "control/install.h"
#include "jvm/jvm.h"

namespace {

std::vector<std::string> Strings(const StringList &list) {
    return std::vector<std::string>(list.items, list.items + list.count);
}

std::vector<std::string> ParseConfig(const std::string &text) {
    StringList types = {};
    ParseJvmConfigText(text.data(), text.size(), &types);
    std::vector<std::string> result = Strings(types);
    ClearStrings(&types);
    return result;
}

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

TEST(JavaCommandLine, IncompleteOrEmptyWordsAreRefusedWith8) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(Parse({"-Xmx64m", "-cp"}).result, 8);
    EXPECT_EQ(Parse({"-Xmx64m"}).result, 8);
    EXPECT_EQ(Parse({}).result, 8);
    EXPECT_EQ(Parse({"Main", "a", "", "c"}).result, 8);
    EXPECT_EQ(Parse({""}).result, 8);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "-cp requires class path specification\n"
                   "main class or jar file not specified\n"
                   "main class or jar file not specified\n"
                   "Empty argument (\"\") in the Java command line cannot be stored; remove it or give it a value\n"
                   "Empty argument (\"\") in the Java command line cannot be stored; remove it or give it a value\n");
}

} // namespace
