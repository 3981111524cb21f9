/* jni_md.h for the Windows build (x86_64 mingw-w64): the JDK's own header for
 * Windows is not on a Linux build machine, and these are all it declares. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef int jint;
typedef long long jlong;
typedef signed char jbyte;

#endif
