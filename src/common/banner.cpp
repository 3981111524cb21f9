#include "common/banner.h"

#include "common/stringlist.h"
#include "common/version.h"

char *BannerText(void) { return DuplicateOrExit("Pelorim " PELORIM_VERSION " Java Wrapper for NT Service\r\n\r\n"); }
