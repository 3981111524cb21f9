/* Files as the log file uses them: dispositions and their last errors, share
 * modes across processes, the end of the file, renames and deletes of an open
 * file, a handle's identity and type. */
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "conformance.h"

namespace {

HANDLE Open(const std::string &path, DWORD access, DWORD share, DWORD disposition) {
    return CreateFileA(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

class File : public testing::Test {
protected:
    void SetUp() override {
        conformance::PrepareMachine();
        directory_ = conformance::MakeTempDirectory();
    }

    /* Win32 takes "/" as well as "\\", and POSIX only "/". */
    std::string Path(const char *name) const { return directory_ + "/" + name; }

    std::string directory_;
};

/* The numbers of a child's "open" step. */
std::string OpenStep(const std::string &path, DWORD access, DWORD share, DWORD disposition) {
    return "open \"" + path + "\" " + std::to_string(access) + " " + std::to_string(share) + " " +
           std::to_string(disposition);
}

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

} // namespace

TEST_F(File, DispositionsAndTheirLastErrors) {
    std::string path = Path("app.log");
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(path, GENERIC_READ, 0, OPEN_EXISTING));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());

    HANDLE file = Open(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_EQ(0u, GetLastError());
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "hello world", 11, &written, nullptr));
    EXPECT_EQ(11u, written);
    CloseHandle(file);
    EXPECT_EQ((DWORD)FILE_ATTRIBUTE_DIRECTORY, GetFileAttributesA(directory_.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(0u, GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(Path("missing/x").c_str()));
    EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError());

    file = Open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    EXPECT_EQ(11u, SetFilePointer(file, 0, nullptr, FILE_END));
    ASSERT_TRUE(WriteFile(file, "!", 1, &written, nullptr));
    EXPECT_EQ(6u, SetFilePointer(file, 6, nullptr, FILE_BEGIN));
    char buffer[32] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(std::string("world!"), std::string(buffer, read));
    ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(0u, read); /* end of file is success with nothing read */
    EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(file, -100, nullptr, FILE_CURRENT));
    EXPECT_EQ((DWORD)ERROR_NEGATIVE_SEEK, GetLastError());
    LONG high = -1; /* the distance is the 64-bit value high:low */
    EXPECT_EQ(2u, SetFilePointer(file, -10, &high, FILE_END));
    EXPECT_EQ(0, high);
    CloseHandle(file);

    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(path, GENERIC_WRITE, 0, CREATE_NEW));
    EXPECT_EQ((DWORD)ERROR_FILE_EXISTS, GetLastError());
    file = Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    CloseHandle(file);
    EXPECT_EQ("", conformance::ReadText(path));

    conformance::WriteText(path, "data");
    file = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_FALSE(WriteFile(file, "x", 1, &written, nullptr));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    /* Deleting a file held without FILE_SHARE_DELETE is refused. */
    EXPECT_FALSE(DeleteFileA(path.c_str()));
    EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
    CloseHandle(file);
    file = Open(path, GENERIC_WRITE, 0, TRUNCATE_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    CloseHandle(file);
    EXPECT_EQ("", conformance::ReadText(path));
    EXPECT_TRUE(DeleteFileA(path.c_str()));
    EXPECT_FALSE(DeleteFileA(path.c_str()));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(path.c_str()));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_FALSE(ReadFile(file, buffer, 1, &read, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
}

/* Share modes hold across processes: a writer that shares reading only keeps
 * other writers out, and readers that do not share writing; the end of the
 * process that held the file frees it. */
TEST_F(File, ShareModesHoldAcrossProcessesAndDieWithTheHolder) {
    std::string path = Path("service.log");
    HANDLE log = Open(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, log);
    conformance::Child other(OpenStep(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS) + " " +
                             OpenStep(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING) + " " +
                             OpenStep(path, GENERIC_READ, FILE_SHARE_WRITE, OPEN_EXISTING));
    EXPECT_EQ("fail 32", other.Line());
    EXPECT_EQ("ok", other.Line());
    EXPECT_EQ("fail 32", other.Line()) << "a reader that does not share reading, beside a reader";
    other.Finish();
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              Open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING));
    EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING))
        << "a reader that does not share writing, beside a writer";
    CloseHandle(log);

    HANDLE gate = CreateEventA(NULL, TRUE, FALSE, conformance::UniqueName("Gate").c_str());
    conformance::Child holder(OpenStep(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING) + " hold " +
                              conformance::UniqueName("Gate"));
    ASSERT_EQ("ok", holder.Line());
    ASSERT_EQ("holding", holder.Line());
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING));
    EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
    ASSERT_TRUE(TerminateProcess(holder.Process(), 1));
    holder.Finish();
    HANDLE after = Open(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_NE(INVALID_HANDLE_VALUE, after);
    CloseHandle(after);
    CloseHandle(gate);
}

/* SetEndOfFile cuts at the file pointer; a write at offsets all ones goes to
 * the end the file has at that moment, though another handle cut it. */
TEST_F(File, EndOfFileAndWritesAtTheEnd) {
    std::string path = Path("named.log");
    HANDLE file = Open(path, GENERIC_WRITE, kShareAll, OPEN_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "hello world", 11, &written, nullptr));
    EXPECT_EQ(5u, SetFilePointer(file, 5, nullptr, FILE_BEGIN));
    EXPECT_TRUE(SetEndOfFile(file));
    EXPECT_EQ("hello", conformance::ReadText(path));

    HANDLE cutter = Open(path, GENERIC_WRITE, kShareAll, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, cutter);
    EXPECT_EQ(2u, SetFilePointer(cutter, 2, nullptr, FILE_BEGIN));
    EXPECT_TRUE(SetEndOfFile(cutter));
    CloseHandle(cutter);
    OVERLAPPED atEnd = {};
    atEnd.Offset = atEnd.OffsetHigh = 0xFFFFFFFFu;
    ASSERT_TRUE(WriteFile(file, "!", 1, &written, &atEnd));
    EXPECT_EQ("he!", conformance::ReadText(path));
    CloseHandle(file);
    EXPECT_FALSE(SetEndOfFile(file));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
}

/* A file open without FILE_SHARE_DELETE can be neither renamed nor deleted;
 * with it both work, the handle following the file. The identity says which
 * file a handle holds; the type tells files from devices and pipes. */
TEST_F(File, RenameDeleteIdentityAndType) {
    std::string path = Path("live.log"), moved = Path("live.log.1");
    HANDLE locked = Open(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, locked);
    EXPECT_FALSE(MoveFileExA(path.c_str(), moved.c_str(), 0));
    EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
    conformance::WriteText(moved, "older");
    EXPECT_FALSE(MoveFileExA(moved.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_EQ("older", conformance::ReadText(moved));
    CloseHandle(locked);

    /* As the log file is held, and looked at to know whether its name still
     * leads to it. */
    HANDLE shared = Open(path, GENERIC_WRITE | FILE_READ_ATTRIBUTES, kShareAll, OPEN_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, shared);
    EXPECT_EQ((DWORD)FILE_TYPE_DISK, GetFileType(shared));
    HANDLE probe = Open(path, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, probe);
    BY_HANDLE_FILE_INFORMATION held = {}, named = {};
    ASSERT_TRUE(GetFileInformationByHandle(shared, &held));
    ASSERT_TRUE(GetFileInformationByHandle(probe, &named));
    EXPECT_EQ(held.dwVolumeSerialNumber, named.dwVolumeSerialNumber);
    EXPECT_EQ(held.nFileIndexLow, named.nFileIndexLow);
    EXPECT_EQ(held.nFileIndexHigh, named.nFileIndexHigh);
    CloseHandle(probe);
    EXPECT_FALSE(MoveFileExA(path.c_str(), moved.c_str(), 0));
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    ASSERT_TRUE(MoveFileExA(path.c_str(), moved.c_str(), MOVEFILE_REPLACE_EXISTING));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(shared, "x", 1, &written, nullptr));
    EXPECT_EQ("x", conformance::ReadText(moved));
    EXPECT_EQ("<missing>", conformance::ReadText(path));

    HANDLE again = Open(moved, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, again);
    BY_HANDLE_FILE_INFORMATION first = {}, second = {};
    ASSERT_TRUE(GetFileInformationByHandle(shared, &first));
    ASSERT_TRUE(GetFileInformationByHandle(again, &second));
    /* Wine loses the volume of a handle whose file was renamed (it answers 0). */
    if (!conformance::UnderWine()) {
        EXPECT_EQ(first.dwVolumeSerialNumber, second.dwVolumeSerialNumber);
    }
    EXPECT_EQ(first.nFileIndexLow, second.nFileIndexLow);
    EXPECT_EQ(first.nFileIndexHigh, second.nFileIndexHigh);
    EXPECT_EQ(1u, first.nFileSizeLow);
    EXPECT_EQ(1u, first.nNumberOfLinks);
    CloseHandle(again);
    EXPECT_TRUE(DeleteFileA(moved.c_str()));
    CloseHandle(shared);
    EXPECT_EQ("<missing>", conformance::ReadText(moved));

    HANDLE readEnd, writeEnd;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, NULL, 0));
    EXPECT_EQ((DWORD)FILE_TYPE_PIPE, GetFileType(readEnd));
    HANDLE device = Open(conformance::NullDevice(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, device) << GetLastError();
    EXPECT_EQ((DWORD)FILE_TYPE_CHAR, GetFileType(device));
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    /* Wine answers with a number of no type for a handle that is no file. */
    if (!conformance::UnderWine()) {
        EXPECT_EQ((DWORD)FILE_TYPE_UNKNOWN, GetFileType(event));
    }
    for (HANDLE handle : {readEnd, writeEnd, device, event}) CloseHandle(handle);
}
