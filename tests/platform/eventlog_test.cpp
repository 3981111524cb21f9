#include <windows.h>

#include <gtest/gtest.h>

#include "harness.h"

TEST(EventLog, RecordsAppearInTheViewInOrder) {
    harness::MakeFreshRoot();
    HANDLE source = RegisterEventSourceA(nullptr, "MyApp");
    ASSERT_NE(nullptr, source);
    const char *strings[] = {"first line", "second", ""};
    ASSERT_TRUE(ReportEventA(source, EVENTLOG_ERROR_TYPE, 3, 0xC0000104u, nullptr, 3, 0, strings, nullptr));
    ASSERT_TRUE(ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 1000, nullptr, 0, 0, nullptr, nullptr));
    HANDLE other = RegisterEventSourceA(nullptr, "Other");
    ASSERT_TRUE(ReportEventA(other, EVENTLOG_WARNING_TYPE, 0, 7, nullptr, 1, 0, strings, nullptr));
    EXPECT_TRUE(DeregisterEventSource(other));

    auto records = harness::EventLog();
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ("MyApp", records[0].source);
    EXPECT_EQ(EVENTLOG_ERROR_TYPE, records[0].type);
    EXPECT_EQ(0xC0000104ul, records[0].eventId);
    EXPECT_EQ(3, records[0].category);
    EXPECT_EQ("first line\nsecond\n", records[0].message);
    EXPECT_EQ("", records[1].message);
    EXPECT_EQ(1000ul, records[1].eventId);
    EXPECT_EQ("Other", records[2].source);
    EXPECT_LT(records[0].seq, records[1].seq);
    auto times = harness::Query("SELECT time FROM eventlog WHERE time LIKE '____-__-__T__:__:__%'");
    EXPECT_EQ(3u, times.size());

    /* A closed or foreign handle is refused. */
    EXPECT_FALSE(ReportEventA(other, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 0, 0, nullptr, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(DeregisterEventSource(event));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    CloseHandle(event);
    EXPECT_TRUE(DeregisterEventSource(source));
}
