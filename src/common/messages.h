/*
 * Every fixed text that the program shows an administrator, in one place, by
 * where it is met. The texts are kept byte for byte as the integration tests
 * and the administrators' scripts read them: a change here is a change of
 * what the program says. The format of a constant is checked against its
 * arguments at each use, as a literal's would be.
 *
 * Not here: the usage text (control/usage.cpp), the banner (common/banner.cpp,
 * made with the version), the names of the stored values (config/params.cpp),
 * and the names of system calls that the error formatters put before the
 * system's own message.
 */
#ifndef PELORIM_MESSAGES_H
#define PELORIM_MESSAGES_H

/* The console of every command: the program's own command line. */
inline constexpr char MSG_NOT_WINDOWS_NT[] = "Only Windows NT based systems are supported.\n";
inline constexpr char MSG_SERVICE_NAME_NOT_SPECIFIED[] = "Service name not specified.\n";
inline constexpr char MSG_UNKNOWN_COMMAND[] = "Unknown command: %s\n";
inline constexpr char MSG_ARGUMENT_FILE_UNREADABLE[] = "Argument file %s cannot be read: %s\n";
inline constexpr char MSG_CONFLICT_INSTALL_UNINSTALL[] = "Command conflict: /install vs. /uninstall";
inline constexpr char MSG_CONFLICT_INSTALL_STOP[] = "Command conflict: /install vs. /stop";
inline constexpr char MSG_CONFLICT_START_UNINSTALL[] = "Command conflict: /start vs. /uninstall";
inline constexpr char MSG_CONFLICT_START_STOP[] = "Command conflict: /start vs. /stop";
inline constexpr char MSG_NO_ACTION_SPECIFIED[] = "No action specified (install|start|stop|uninstall)";
inline constexpr char MSG_SUBPROCESS_IGNORED[] = "/subprocess command ignored";

/* The console of /install: the Java command line as it is read. */
inline constexpr char MSG_EMPTY_JAVA_ARGUMENT[] =
    "Empty argument (\"\") in the Java command line cannot be stored; remove it or give it a value\n";
inline constexpr char MSG_OPTION_REQUIRES_CLASS_PATH[] = "%s requires class path specification\n";
inline constexpr char MSG_OPTION_REQUIRES_VALUE[] = "%s requires a value\n";
inline constexpr char MSG_NO_MAIN_CLASS_OR_JAR[] = "main class or jar file not specified\n";

/* The console of /install: requests refused before anything is stored. */
inline constexpr char MSG_EMPTY_DEPENDENCY[] = "Empty /depend: cannot be stored; remove it or give it a service name\n";
inline constexpr char MSG_NO_FULL_PROGRAM_PATH[] =
    "Cannot install: the full path of this program cannot be obtained; move the program to a shorter path";
inline constexpr char MSG_PROGRAM_PATH_HOLDS_QUOTE[] =
    "Cannot install: a command line cannot name a program whose path holds a double quote:";
inline constexpr char MSG_SERVICE_NAME_REFUSED[] = "Service name %s cannot be installed: %s";
inline constexpr char MSG_CANNOT_INSTALL[] = "Cannot install: %s";
/* Reasons for MSG_SERVICE_NAME_REFUSED. */
inline constexpr char MSG_REASON_KERNEL_OBJECTS_UNNAMED[] =
    "the service's kernel objects cannot be named after it (%s)";
inline constexpr char MSG_REASON_NAME_TOO_LONG[] = "it is longer than 255 characters";
inline constexpr char MSG_REASON_NAME_HOLDS_SEPARATOR[] = "it must not contain \"/\", \"\\\" or a quotation mark";
inline constexpr char MSG_REASON_NAME_BEGINS_WITH_DASH[] = "it must not begin with \"-\"";
inline constexpr char MSG_WORKING_DIRECTORY_UNENTERABLE[] = "Working directory cannot be entered: %s\n%s";
inline constexpr char MSG_NO_LOG_FILE_IN_DIRECTORY[] =
    "Warning: no log file can be written in directory %s (%s); the service will log to the event log";
inline constexpr char MSG_VALUE_TOO_LONG[] =
    "The value of %s is longer than the %zu characters it can hold; nothing is installed";
/* The second %s is the shell prefix, which ends in a space. */
inline constexpr char MSG_SHUTDOWN_COMMAND_TOO_LONG[] =
    "The value of /shutdownCommand: is longer than the %zu characters a command run through %scan "
    "hold; nothing is installed";
inline constexpr char MSG_SWITCH_VALUE_LOST_CHARACTERS[] =
    "The value of %.*s holds characters that code page %u of this system cannot carry; nothing is "
    "installed";
inline constexpr char MSG_ARGUMENT_LOST_CHARACTERS[] =
    "The argument %s holds characters that code page %u of this system cannot carry; nothing is "
    "installed";

/* The console of /install: after the service is created. */
inline constexpr char MSG_KEY_LEFT_UNPROTECTED[] =
    "Nothing was stored in the service's key, as other users could read it; remove the service with /uninstall";
inline constexpr char MSG_SERVICE_INSTALLED_LINE[] = "%s installed.\n";

/* The settings report of /install, on the console and in the event log. */
inline constexpr char MSG_SERVICE_INSTALLED[] = "%s installed.";
inline constexpr char MSG_REPORT_CURRENT_DIRECTORY[] = "Current Directory: ";
inline constexpr char MSG_REPORT_STARTUP_METHOD[] = "Startup Method: ";
inline constexpr char MSG_REPORT_SHUTDOWN_METHOD[] = "Shutdown Method: ";
inline constexpr char MSG_REPORT_SHUTDOWN_COMMAND[] = "Shutdown Command: ";
inline constexpr char MSG_REPORT_TIMEOUT[] = "Timeout: ";
inline constexpr char MSG_REPORT_DEBUG_LEVEL[] = "Debug Output Level: ";
inline constexpr char MSG_REPORT_LOG_FILE[] = "Log File: ";
inline constexpr char MSG_REPORT_NO_EVENT_LOGGING[] = "No Event Logging";
inline constexpr char MSG_REPORT_PRIORITY[] = "Priority: %s";
inline constexpr char MSG_REPORT_SEPARATE_PROCESS[] = "Init JVM in Separate Process";
inline constexpr char MSG_REPORT_JAVA_HOME[] = "Java Home Path: ";
inline constexpr char MSG_REPORT_JVM_TYPE[] = "JVM Type: ";
inline constexpr char MSG_REPORT_RUNTIME_LIBRARY[] = "JVM Runtime Library Path: ";
inline constexpr char MSG_REPORT_RUNTIME_SOURCE[] = "Java Runtime Found Through: %s";
inline constexpr char MSG_REPORT_JAVA_OPTIONS[] = "Java Options:";
inline constexpr char MSG_REPORT_MAIN_CLASS[] = "Java Main Class: ";
inline constexpr char MSG_REPORT_ARCHIVE[] = "Java Archive: ";
inline constexpr char MSG_REPORT_JAVA_ARGUMENTS[] = "Java Program Arguments:";

/* The console of /start, /stop and /uninstall. */
inline constexpr char MSG_ALREADY_RUNNING[] = "Service %s is already running.";
inline constexpr char MSG_STARTING[] = "Starting %s.";
inline constexpr char MSG_STARTED[] = "\n%s started.\n";
inline constexpr char MSG_FAILED_TO_START[] = "\n%s failed to start.\n";
inline constexpr char MSG_NOT_RUNNING[] = "Service %s is not running.";
inline constexpr char MSG_STOPPING[] = "Stopping %s.";
inline constexpr char MSG_STOPPED[] = "\n%s stopped.\n";
inline constexpr char MSG_FAILED_TO_STOP[] = "\n%s failed to stop.\n";
inline constexpr char MSG_PROGRESS_DOT[] = ".";
inline constexpr char MSG_CHECKPOINT_NOT_INCREMENTED[] = "CheckPoint not incremented\n";
inline constexpr char MSG_STILL_STARTING[] =
    "Service %s is starting and cannot accept a stop yet; try again when it runs.";
/* The first %s is the verb of the command: "start", "stop" or "remove". */
inline constexpr char MSG_SERVICE_DOES_NOT_EXIST[] =
    "Cannot %s the service named %s.\nService with this name does not exist.";
inline constexpr char MSG_SERVICE_ALREADY_EXISTS[] =
    "Cannot create the service named %s.\nService with this name already exists.";
inline constexpr char MSG_SERVICE_REMOVED[] = "%s removed.\n";

/* The service's own events: its start, its stop and how it ended. */
inline constexpr char MSG_SERVICE_STARTED[] = "%s was started.";
inline constexpr char MSG_SERVICE_STOPPED[] = "%s was stopped.";
inline constexpr char MSG_SERVICE_FAILED_TO_START[] = "%s failed to start with exit code %d.";
inline constexpr char MSG_START_TIMED_OUT[] =
    "%s did not start within %lld ms (Timeout): its start has timed out, and the service ends.";
inline constexpr char MSG_ENDED_BY_SYSTEM_EXIT[] = "%s ended unexpectedly: the application called System.exit(%d).";
inline constexpr char MSG_ENDED_BY_EXCEPTION[] =
    "%s ended unexpectedly: the main method of the application ended with an exception.";
inline constexpr char MSG_ENDED_WITH_EXIT_CODE[] = "%s ended unexpectedly with exit code %u.";
inline constexpr char MSG_CANNOT_ENTER_WORKING_DIRECTORY[] = "Cannot enter the working directory %s: %s";

/* The service's supervision of its application, its subprocess and its output. */
inline constexpr char MSG_EVENT_ALREADY_EXISTS[] =
    "Event %s_EVENT already exists: another process of this service still holds it";
inline constexpr char MSG_JVM_EXIT_ZERO[] = "JVM exit(0)";
inline constexpr char MSG_JVM_ERROR_EXIT[] = "JVM error exit";
inline constexpr char MSG_ENDED_BY_FORCE[] =
    "The application did not end within %lld ms of the stop request; it is ended by force "
    "with exit code %d";
inline constexpr char MSG_TERMINATING_SUBPROCESS[] = "Terminating the subprocess";
inline constexpr char MSG_STDOUT_READER_FINISHED[] = "StdOutPipeReader finished";
inline constexpr char MSG_STDERR_READER_FINISHED[] = "StdErrPipeReader finished";

/* The shutdown command's own records. */
inline constexpr char MSG_TERMINATING_SHUTDOWN_COMMAND[] = "Terminating Shutdown Command:";
inline constexpr char MSG_SHUTDOWN_UNDER_WAY[] = "The shutdown is under way already";
inline constexpr char MSG_SHUTDOWN_COMMAND_NOT_SPECIFIED[] = "ShutdownCommand not specified";
inline constexpr char MSG_SHUTDOWN_COMMAND_LINE_TOO_LONG[] =
    "Shutdown command line of %zu characters is longer than the %d the system accepts; not run";
inline constexpr char MSG_LAUNCHING_SHUTDOWN_COMMAND[] = "Launching Shutdown Command:";

/* The JVM host: the virtual machine, the main class and the shutdown method. */
inline constexpr char MSG_CANNOT_CREATE_JVM[] = "Could not create the Java virtual machine";
inline constexpr char MSG_CANNOT_REDIRECT_STD_STREAMS[] = "Could not redirect std streams";
inline constexpr char MSG_STORED_VALUE_EMPTY[] = "Cannot start: this stored value holds no text:";
inline constexpr char MSG_NO_MAIN_CLASS_STORED[] =
    "Cannot start: neither JavaMainClass nor JavaArchive is stored for this service";
inline constexpr char MSG_NO_MANIFEST_MAIN_CLASS[] = "Failed to load Main-Class manifest attribute from";
inline constexpr char MSG_MAIN_CLASS_NOT_FOUND[] = "Main class not found:";
inline constexpr char MSG_NO_MAIN_METHOD[] = "No main method found in class";
inline constexpr char MSG_JVM_EXIT_HOOK_CALLED[] = "JVM Exit Hook called";
inline constexpr char MSG_NO_JVM_FOR_STARTUP_PROGRESS[] = "No Java VM is running (ObserveStartupProgress)";
inline constexpr char MSG_ATTACH_FAILED_FOR_STARTUP_PROGRESS[] = "AttachCurrentThread: failed (ObserveStartupProgress)";
inline constexpr char MSG_DETACH_FAILED_FOR_STARTUP_PROGRESS[] = "DetachCurrentThread: failed (ObserveStartupProgress)";
inline constexpr char MSG_SHUTDOWN_METHOD_NOT_SPECIFIED[] = "ShutdownMethod not specified";
inline constexpr char MSG_NO_JVM_FOR_SHUTDOWN[] = "No Java VM is running (JavaShutdown)";
inline constexpr char MSG_ATTACH_FAILED_FOR_SHUTDOWN[] = "AttachCurrentThread: failed (JavaShutdown)";
inline constexpr char MSG_DETACH_FAILED_FOR_SHUTDOWN[] = "DetachCurrentThread: failed (JavaShutdown)";
inline constexpr char MSG_INVOKING_SHUTDOWN_METHOD[] = "Invoking shutdown method:";
inline constexpr char MSG_INVOKING_SYSTEM_EXIT[] = "Invoking System.exit(0)";
inline constexpr char MSG_C_STREAMS_NOT_MOVED[] =
    "The C runtime's standard output and error could not be moved to the service's pipes";
inline constexpr char MSG_DEFAULT_CHARSET_USED[] =
    "System.out and System.err write the Java runtime's default charset: it does not know";

/* The search for a Java runtime and the loading of its library. */
inline constexpr char MSG_CANNOT_FIND_JAVA_VM[] =
    "Cannot find any suitable Java VM software on your computer.\n"
    "Please download and install a Java VM from https://adoptium.net/.\n";
inline constexpr char MSG_JAVA_HOME_TOO_LONG[] = "JAVA_HOME too long:";
inline constexpr char MSG_LOADING_JNI[] = "Loading JNI: %s used:";
inline constexpr char MSG_NO_LONGER_EXISTS[] = "%s %s no longer exists";
inline constexpr char MSG_RELATIVE_PATH_ENTRY[] = "Relative PATH entry passed over:";
inline constexpr char MSG_VERSION_RUNTIME_USED_INSTEAD[] = "Java %d runtime found through %s used instead: %s";
inline constexpr char MSG_RUNTIME_USED_INSTEAD[] = "Java runtime found through %s used instead: %s";
inline constexpr char MSG_RUNTIME_FOUND_THROUGH[] = "Java runtime found through %s:";
inline constexpr char MSG_RUNTIME_FOLLOWED[] =
    "The Java runtime came through %s: should a JDK update move it to another folder, the service "
    "follows it through the JDK installers' registry keys; to keep to this one, install with "
    "\"/javahome:%s\"";
/* The first and the third %s are the stored value's name. */
inline constexpr char MSG_PINNED_RUNTIME_GONE[] =
    "%s %s no longer exists, and this service uses only that Java runtime: change its %s value, "
    "or install again, to use another.";
inline constexpr char MSG_PATH_TOO_LONG[] = "Path too long:";
inline constexpr char MSG_NO_JVM_TYPE_LISTED[] = "No JVM type listed in jvm.cfg in";
inline constexpr char MSG_SEARCHING_JVM_CONFIG[] = "Searching for jvm.cfg in: ";
inline constexpr char MSG_JVM_CONFIG_FOUND[] = "jvm.cfg found in: ";
inline constexpr char MSG_LOADING_JNI_LIBRARY[] = "LoadJNILibrary";
inline constexpr char MSG_NO_DLL_DIRECTORY[] = "(none)";
inline constexpr char MSG_RUNTIME_LIBRARY_BITS[] =
    "The Java runtime library %s is %d-bit and cannot be loaded by this %d-bit program: "
    "use %s for it.";
inline constexpr char MSG_NEEDED_LIBRARY_NOT_FOUND[] =
    "The library %s that the Java runtime library %s needs was not found (126); looked in %s.";
inline constexpr char MSG_A_NEEDED_LIBRARY_NOT_FOUND[] =
    "A library that the Java runtime library %s needs was not found (126); looked in %s.";

/* The places a Java runtime is found through, as MSG_LOADING_JNI and the settings report name them. */
inline constexpr char MSG_SOURCE_RUNTIMELIB_PARAM[] = "runtimelib param";
inline constexpr char MSG_SOURCE_JAVAHOME_PARAM[] = "javahome param";
inline constexpr char MSG_SOURCE_JAVA_HOME_VARIABLE[] = "JAVA_HOME env var";
inline constexpr char MSG_SOURCE_JAVA_ON_PATH[] = "java on PATH";
inline constexpr char MSG_SOURCE_WORKING_DIRECTORY[] = "Current working dir";
inline constexpr char MSG_SOURCE_JAVASOFT_JDK_LIBRARY[] = "RuntimeLib (JavaSoft JDK reg)";
inline constexpr char MSG_SOURCE_JAVASOFT_JDK_HOME[] = "JavaHome (JavaSoft JDK reg)";
inline constexpr char MSG_SOURCE_JAVASOFT_JRE_LIBRARY[] = "RuntimeLib (JavaSoft JRE reg)";
inline constexpr char MSG_SOURCE_JAVASOFT_JRE_HOME[] = "JavaHome (JavaSoft JRE reg)";
inline constexpr char MSG_SOURCE_CURRENT_JDK_LIBRARY[] = "RuntimeLib (JavaSoft\\JDK reg)";
inline constexpr char MSG_SOURCE_CURRENT_JDK_HOME[] = "JavaHome (JavaSoft\\JDK reg)";
inline constexpr char MSG_SOURCE_CURRENT_JRE_LIBRARY[] = "RuntimeLib (JavaSoft\\JRE reg)";
inline constexpr char MSG_SOURCE_CURRENT_JRE_HOME[] = "JavaHome (JavaSoft\\JRE reg)";
/* An installer's key: the value's name, then the key below Software\ and the version's subkey. */
inline constexpr char MSG_SOURCE_INSTALLER_KEY[] = "%s (%s\\%s reg)";

/* The stored values as the service reads them. */
inline constexpr char MSG_VALUE_NOT_SPECIFIED[] = "%s not specified (default = %d)";
inline constexpr char MSG_VALUE_NOT_STRING[] = "Registry key value does not contain string data:\r\n\t%s";

/* The log file: the level of each record, and its own failure. */
inline constexpr char MSG_LEVEL_ERROR[] = "ERROR: ";
inline constexpr char MSG_LEVEL_WARNING[] = "WARNING: ";
inline constexpr char MSG_LEVEL_INFO[] = "INFO: ";
inline constexpr char MSG_LOG_FILE_NOT_ROTATED[] = "The log file %s cannot be rotated: %s";

/* A system error whose code the system has no message for. */
inline constexpr char MSG_UNKNOWN_ERROR[] = "Unknown Error";

#endif
