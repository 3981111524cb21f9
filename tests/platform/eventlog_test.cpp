#include <windows.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "harness.h"
#include "objtool_child.h"

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

namespace {

void SetApplicationLog(const char *name, DWORD value) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\EventLog\\Application",
                                             0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE *)&value, sizeof value));
    RegCloseKey(key);
}

long long LoggedBytes() {
    auto rows = harness::Query("SELECT total(58 + length(CAST(source AS BLOB)) + length(CAST(message AS BLOB)))"
                               " FROM eventlog");
    return rows.empty() ? -1 : atoll(rows[0][0].c_str());
}

} // namespace

/* A chatty source must not fill the disk: the oldest records make room, and
 * seq keeps growing across the overwritten ones. */
TEST(EventLog, MaxSizeBoundsTheLogAndKeepsTheNewestInOrder) {
    harness::MakeFreshRoot();
    SetApplicationLog("MaxSize", 64 * 1024);
    HANDLE source = RegisterEventSourceA(nullptr, "Chatty");
    std::string text(200, 'x');
    for (int i = 0; i < 2000; i++) {
        std::string line = std::to_string(i) + text;
        const char *strings[] = {line.c_str()};
        ASSERT_TRUE(ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr)) << i;
    }
    EXPECT_LE(LoggedBytes(), 64 * 1024);
    EXPECT_GE(LoggedBytes(), 48 * 1024);
    auto records = harness::EventLog();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ("1999" + text, records.back().message);
    for (size_t i = 1; i < records.size(); i++) ASSERT_EQ(records[i - 1].seq + 1, records[i].seq);
    EXPECT_GT(records.front().seq, 1000);

    /* Retention "never": a full log refuses new records and keeps the old. */
    SetApplicationLog("Retention", 0xFFFFFFFFu);
    Sleep(1100); /* the settings are looked at again after a second */
    size_t kept = records.size();
    bool refused = false;
    for (int i = 0; i < 400 && !refused; i++) {
        const char *strings[] = {text.c_str()};
        refused = !ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 2, nullptr, 1, 0, strings, nullptr);
    }
    EXPECT_TRUE(refused);
    EXPECT_EQ((DWORD)ERROR_LOG_FILE_FULL, GetLastError());
    EXPECT_EQ(records.front().seq, harness::EventLog().front().seq);
    EXPECT_GE(harness::EventLog().size(), kept);
    DeregisterEventSource(source);
}

/* The bound holds whatever the record size: a record that straddles the trim
 * mark goes too, records past the retention make room, and a record larger
 * than the whole log is refused without touching it. */
TEST(EventLog, LargeRecordsKeepTheBoundAndTheRetention) {
    harness::MakeFreshRoot();
    SetApplicationLog("MaxSize", 64 * 1024);
    HANDLE source = RegisterEventSourceA(nullptr, "Large");
    std::string text(20000, 'y');
    const char *strings[] = {text.c_str()};
    for (int i = 0; i < 6; i++) {
        ASSERT_TRUE(ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr)) << i;
        ASSERT_LE(LoggedBytes(), 64 * 1024) << i;
    }
    SetApplicationLog("Retention", 1);
    Sleep(1100); /* the settings are looked at again, and every record is past the retention */
    EXPECT_TRUE(ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 2, nullptr, 1, 0, strings, nullptr));
    EXPECT_LE(LoggedBytes(), 64 * 1024);
    EXPECT_EQ(3u, harness::Query("SELECT seq FROM eventlog").size());

    long long before = LoggedBytes();
    std::string huge(70000, 'z');
    const char *hugeStrings[] = {huge.c_str()};
    EXPECT_FALSE(ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 3, nullptr, 1, 0, hugeStrings, nullptr));
    EXPECT_EQ((DWORD)ERROR_LOG_FILE_FULL, GetLastError());
    EXPECT_EQ(before, LoggedBytes());
    DeregisterEventSource(source);
}

/* A record is committed before ReportEventA returns: a writer killed at once
 * loses nothing. (A power cut may still lose the records since the last sync.) */
TEST(EventLog, ARecordOutlivesAWriterKilledRightAfterIt) {
    harness::MakeFreshRoot();
    ObjtoolChild child({"report-event:first", "report-event:last words", "hold"});
    ASSERT_EQ("ok", child.ReadLine());
    ASSERT_EQ("ok", child.ReadLine());
    ASSERT_EQ("holding", child.ReadLine());
    child.Kill();
    auto records = harness::EventLog();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ("last words", records[1].message);
}

/* A log written by an earlier version keeps its records and their seq. */
TEST(EventLog, AnOlderLogIsCarriedOver) {
    std::string root = harness::MakeFreshRoot();
    sqlite3 *db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((root + "/machine.db").c_str(), &db));
    ASSERT_EQ(SQLITE_OK,
              sqlite3_exec(db,
                           "CREATE TABLE event_records(seq INTEGER PRIMARY KEY AUTOINCREMENT, time TEXT NOT NULL,"
                           " source TEXT NOT NULL, type INTEGER NOT NULL, event_id INTEGER NOT NULL,"
                           " category INTEGER NOT NULL, message TEXT NOT NULL);"
                           "CREATE VIEW eventlog(seq, time, source, type, event_id, category, message) AS"
                           " SELECT seq, time, source, type, event_id, category, message FROM event_records;"
                           "INSERT INTO event_records VALUES (5, 'then', 'Old', 4, 1, 0, 'five');"
                           "INSERT INTO event_records VALUES (9, 'then', 'Old', 4, 1, 0, 'nine');"
                           "DELETE FROM event_records WHERE seq = 9;",
                           nullptr, nullptr, nullptr));
    sqlite3_close(db);
    HANDLE source = RegisterEventSourceA(nullptr, "New");
    const char *strings[] = {"ten"};
    ASSERT_TRUE(ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr));
    /* A plain INSERT, as other writers of the log make, is sized as well. */
    ASSERT_EQ(SQLITE_OK, sqlite3_open((root + "/machine.db").c_str(), &db));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db,
                                      "INSERT INTO event_records(time, source, type, event_id, category, message)"
                                      " VALUES ('now', 'Plain', 1, 2, 0, 'plain')",
                                      nullptr, nullptr, nullptr));
    sqlite3_close(db);
    ASSERT_TRUE(ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr));
    DeregisterEventSource(source);
    auto records = harness::EventLog();
    ASSERT_EQ(4u, records.size());
    EXPECT_EQ(5, records[0].seq);
    EXPECT_EQ("five", records[0].message);
    EXPECT_EQ("ten", records[1].message);
    EXPECT_GT(records[1].seq, 5);
    EXPECT_EQ("plain", records[2].message);
    auto unsized = harness::Query("SELECT a.seq FROM event_records a JOIN event_records b ON b.seq > a.seq"
                                  " WHERE b.ends_at <= a.ends_at OR a.record_size = 0");
    EXPECT_TRUE(unsized.empty());
}
