/* The runtimes that the later sources of the search offer, collected a group
 * at a time and tried in order (discovery.cpp); the JavaSoft keys are two
 * groups (javasoft_keys.cpp), the JDK installers' own keys another
 * (installer_keys.cpp). */
#ifndef PELORIM_RUNTIME_CANDIDATES_H
#define PELORIM_RUNTIME_CANDIDATES_H

#include "common/settings.h"

enum { CANDIDATE_SOURCE_CAPACITY = 300, CANDIDATE_VERSION_PARTS = 4 };

struct RuntimeCandidate {
    char source[CANDIDATE_SOURCE_CAPACITY + 1]; /* as "Loading JNI: <source> used:" names it */
    char path[PATH_CAPACITY + 1];               /* a Java home, or with `library` the library itself */
    char javaHome[PATH_CAPACITY + 1];           /* with `library`: recorded as javaHomeUsed when it loads */
    bool library;
    bool recordsJavaHome; /* javaHome was given, even empty */
    bool passOnFailure;   /* a failure lets the search go on */
    bool passWhenGone;    /* a home that no longer exists is passed over with a warning */
    int featureVersion;   /* 0 when unknown */
    unsigned version[CANDIDATE_VERSION_PARTS]; /* orders one installer's versions, newest first */
};

struct CandidateList {
    RuntimeCandidate *items;
    int count;
    int capacity;
};

/* A cleared entry at the end of the list, or NULL when it is full. */
RuntimeCandidate *AddCandidate(CandidateList *list);

/* The keys that installers up to Java 8 wrote, read into jdkInfo and jreInfo
 * by the caller before the search: a development kit's, then a runtime
 * environment's. */
void CollectJavaSoftKeys(CandidateList *list);
/* The keys that installers write since Java 9, read the same way, and read
 * only when the older keys let the search come this far, so that a runtime
 * found there logs what it always did. */
void CollectCurrentJavaSoftKeys(CandidateList *list);

/* The homes that the JDK installers record under their own keys, each
 * installer's newest version first; a home that no longer exists is passed
 * over at its turn. */
void CollectInstallerKeys(CandidateList *list);

/* A Java home, as SearchJavaHome searches it: a jvm.cfg below it or below its
 * "jre" (a Java 8 development kit). */
bool IsJavaHome(const char *directory);

#endif
