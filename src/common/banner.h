/* The banner every console run of the program prints first. */
#ifndef PELORIM_BANNER_H
#define PELORIM_BANNER_H

/* "Pelorim <version> Java Wrapper for NT Service\r\n\r\n"; the caller frees it. */
char *BannerText(void);

#endif
