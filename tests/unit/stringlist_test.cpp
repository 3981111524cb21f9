#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "common/stringlist.h"

namespace {

std::string Bytes(const char *block, size_t size) { return std::string(block, size); }

TEST(StringList, GrowsByDoublingAndKeepsOrder) {
    StringList list = {};
    for (int i = 0; i < 5; i++) AddString(&list, std::to_string(i).c_str());
    EXPECT_EQ(list.capacity, 8);
    EXPECT_EQ(list.count, 5);
    for (int i = 5; i < 9; i++) AddString(&list, std::to_string(i).c_str());
    EXPECT_EQ(list.capacity, 16);
    for (int i = 0; i < 9; i++) EXPECT_STREQ(list.items[i], std::to_string(i).c_str());
    ClearStrings(&list);
    EXPECT_EQ(list.items, nullptr);
    EXPECT_EQ(list.capacity, 0);
    EXPECT_EQ(list.count, 0);
    ClearStrings(&list);
    AddString(&list, "again");
    EXPECT_EQ(list.capacity, 4);
    ClearStrings(&list);
}

TEST(StringList, FindIsExactAndCaseSensitive) {
    StringList list = {};
    EXPECT_EQ(FindString(&list, "-server"), -1);
    AddString(&list, "-client");
    AddString(&list, "-server");
    AddString(&list, "-server");
    EXPECT_EQ(FindString(&list, "-server"), 1);
    EXPECT_EQ(FindString(&list, "-Server"), -1);
    EXPECT_EQ(FindString(&list, "-serv"), -1);
    ClearStrings(&list);
}

TEST(StringList, MultiStringForms) {
    StringList list = {};
    char *block = nullptr;
    ASSERT_EQ(ToMultiString(&list, &block), 1u);
    EXPECT_EQ(Bytes(block, 1), std::string(1, '\0'));
    free(block);

    AddString(&list, "a");
    AddString(&list, "bc");
    size_t size = ToMultiString(&list, &block);
    ASSERT_EQ(size, 6u);
    EXPECT_EQ(Bytes(block, size), std::string("a\0bc\0\0", 6));
    free(block);
    ClearStrings(&list);
}

TEST(StringList, JoinPutsLineBreaksOnlyBetweenEntries) {
    StringList list = {};
    char *text = nullptr;
    AddString(&list, "x");
    JoinWithLineBreaks(&list, &text);
    EXPECT_STREQ(text, "x");
    free(text);
    AddString(&list, "y");
    AddString(&list, "");
    JoinWithLineBreaks(&list, &text);
    EXPECT_STREQ(text, "x\r\ny\r\n");
    free(text);
    ClearStrings(&list);
}

int AlwaysFail(void) { return 1; }

TEST(AllocationDeathTest, FailedMallocPrintsOneLineAndExitsWithOne) {
    EXPECT_EXIT(
        {
            allocationFailureHook = AlwaysFail;
            AllocateOrExit(16);
        },
        testing::ExitedWithCode(1), "^malloc: .+ \\(8\\)\n$");
}

TEST(AllocationDeathTest, FailedGrowthPrintsTheReallocLine) {
    EXPECT_EXIT(
        {
            StringList list = {};
            for (int i = 0; i < 4; i++) AddString(&list, "entry");
            allocationFailureHook = AlwaysFail;
            AddString(&list, "fifth");
        },
        testing::ExitedWithCode(1), "^realloc: .+ \\(8\\)\n$");
}

} // namespace
