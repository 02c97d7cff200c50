/*
 * The host's <sys/cdefs.h> with the attribute macros of FreeBSD's that the
 * programs use.
 */
#ifndef _COMPAT_SYS_CDEFS_H_
#define _COMPAT_SYS_CDEFS_H_

#include_next <sys/cdefs.h>

#define __dead2		__attribute__((__noreturn__))
#define __printflike(fmtarg, firstvararg) \
	__attribute__((__format__ (__printf__, fmtarg, firstvararg)))

#endif /* _COMPAT_SYS_CDEFS_H_ */
