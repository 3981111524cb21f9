/* What the runtime search asks of the library loader (runtime_library.cpp)
 * besides LoadJNILibrary: the reason that the libraries it tried could not
 * be loaded. */
#ifndef PELORIM_RUNTIME_LIBRARY_H
#define PELORIM_RUNTIME_LIBRARY_H

/* Forgets the failure of the loads before: called as a search begins. */
void ClearLoadFailure(void);
/* After a failed search: at Error level, why the latest library that was
 * there could not be loaded, when that is known (it is of the other word
 * size, or a library it needs was not found); nothing otherwise. */
void ReportLoadFailure(void);

#endif
