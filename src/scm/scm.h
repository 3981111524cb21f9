/* Service Control Manager operations. */
#ifndef PELORIM_SCM_H
#define PELORIM_SCM_H

int CreateServiceEntry(void);
int DeleteServiceEntry(void);
int UninstallService(void);
int StartServiceAndWait(void);
int StopServiceAndWait(void);

/* Owned key name (the caller frees it) or NULL. */
char *FindServiceByDisplayName(const char *wantedName);
/* Owned display name (the caller frees it) or NULL. */
char *QueryDisplayName(const char *serviceKeyName);
int QueryInteractiveFlag(void);

#endif
