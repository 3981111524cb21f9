/* The functions of the stand-in C runtime DLLs (runtime.cpp). */
#ifndef PELORIM_STANDIN_RUNTIME_H
#define PELORIM_STANDIN_RUNTIME_H

extern "C" __declspec(dllimport) const char *StandinVcruntimePath(void); /* vcruntime140.dll */
extern "C" __declspec(dllimport) const char *StandinMsvcpPath(void);     /* msvcp140.dll */

#endif
