/* The settings report: what /install stored, read back as one Information record. */
#ifndef PELORIM_SETTINGS_REPORT_H
#define PELORIM_SETTINGS_REPORT_H

/* What the search for the Java runtime found, for the report's lines of the
 * values that were not stored. The strings stay the caller's. */
struct FoundRuntime {
    const char *javaHome; /* "" when the search recorded none */
    const char *library;  /* the runtime library that was loaded */
    const char *source;   /* as "Loading JNI: <source> used:" named it; NULL: no line */
};

/* Reads the stored values back and reports them as one Information record. */
void ReportInstalledSettings(const FoundRuntime *found);

#endif
