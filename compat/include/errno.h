/* The host's <errno.h> with FreeBSD's errors that the host lacks. */
#ifndef _COMPAT_ERRNO_H_
#define _COMPAT_ERRNO_H_

#include_next <errno.h>

/*
 * FreeBSD's "Programming error". Its FreeBSD number, 88, is ENOTSOCK here, so it
 * takes a number no host error uses; the emulated kernel answers with the same.
 */
#define EDOOFUS	1088

#endif /* _COMPAT_ERRNO_H_ */
