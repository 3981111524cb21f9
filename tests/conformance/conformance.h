/*
 * What the conformance tests share. These tests hold the Win32 subset that the
 * program calls against Microsoft's documentation: they use the Win32 API and
 * standard C++ alone, so that the same source is built over the POSIX layer on
 * Linux and with mingw-w64 for Windows, where Wine (or Windows) runs it. What
 * only POSIX can show (links, signals, seccomp, /proc) is tested apart, in
 * tests/platform.
 */
#ifndef PELORIM_CONFORMANCE_H
#define PELORIM_CONFORMANCE_H

#include <windows.h>

#include <functional>
#include <string>

namespace conformance {

/* Gives the test a machine of its own where the platform can (on Linux a fresh
 * root, so each test runs in a process of its own); on Windows every test of a
 * run shares the machine, so names of kernel objects come from UniqueName. */
void PrepareMachine();

/* `stem` made unique to this test and process, for named objects and pipes. */
std::string UniqueName(const std::string &stem);

/* A command line that runs this very program as a child doing `steps`
 * (see RunChildSteps in conformance.cpp for the steps it takes). */
std::string ChildCommandLine(const std::string &steps);

/* Starts ChildCommandLine(steps); a zeroed result when CreateProcessA failed
 * (the failure is a test failure already). `out` becomes the child's standard
 * output, error and input when given. */
PROCESS_INFORMATION StartChild(const std::string &steps, BOOL inheritHandles, HANDLE out = NULL,
                               DWORD flags = 0);
/* Waits up to 10 s for the child's end, then closes both its handles. */
void FinishChild(PROCESS_INFORMATION &child);

/* A child doing `steps` whose standard output (and error) the test reads line
 * by line; its end is awaited by Finish, or by the destructor. */
class Child {
public:
    explicit Child(const std::string &steps);
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    /* The next line, without its line end; "" at the end of the output. */
    std::string Line();
    /* Waits up to 10 s for the child's end; its exit code. */
    DWORD Finish();
    HANDLE Process() const { return info_.hProcess; }

private:
    PROCESS_INFORMATION info_ = {};
    HANDLE out_ = NULL;
};

/* Polls `condition` every 20 ms until it holds or `milliseconds` pass. */
bool WaitFor(const std::function<bool()> &condition, DWORD milliseconds);

/* A file's whole content, or "<missing>"; and a file made anew with `text`. */
std::string ReadText(const std::string &path);
void WriteText(const std::string &path, const std::string &text);

/* A character device that takes writes: "NUL" on Windows, /dev/null here. */
const char *NullDevice();

/* Whether Wine runs this program (its ntdll exports wine_get_version): where
 * Wine is known to differ from Windows, a test names Wine's answer beside
 * Windows' own. */
bool UnderWine();

/* A new empty directory for the test's files; the path has no trailing separator. */
std::string MakeTempDirectory();

} // namespace conformance

#endif
