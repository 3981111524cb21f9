/* Windows command-line splitting (the rules of CommandLineToArgvW and the C
 * runtime): blanks and tabs separate arguments; "..." groups; 2n backslashes
 * before a quote give n backslashes and a quote delimiter, 2n+1 give n
 * backslashes and a literal quote; other backslashes are literal; "" inside a
 * quoted part gives a literal quote. The first word (the program) takes
 * everything up to the next blank or tab, quotes grouping, with no backslash
 * processing. */
#ifndef PELORIM_POSIX_CMDLINE_H
#define PELORIM_POSIX_CMDLINE_H

#include <string>
#include <vector>

std::vector<std::string> SplitWindowsCommandLine(const char *commandLine);

#endif
