/*
 * The program's version, written here and nowhere else: the banner, the
 * version resource of the Windows executable and the name of the release
 * package all take it from this line. Its form is <major>.<minor><letter>;
 * the letter counts revisions from 'a' = 1, and the version resource shows
 * it as the fourth number (1.3c is 1,3,0,3). The build reads the line below
 * as text, so keep it to one plain string.
 */
#ifndef PELORIM_VERSION_H
#define PELORIM_VERSION_H

#define PELORIM_VERSION "1.3c"

#endif
