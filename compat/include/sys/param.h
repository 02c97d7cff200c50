/* The host's <sys/param.h> with FreeBSD's system limits on top. */
#ifndef _COMPAT_SYS_PARAM_H_
#define _COMPAT_SYS_PARAM_H_

#include_next <sys/param.h>

#undef MAXPATHLEN
#define MAXPATHLEN	1024
#undef MAXHOSTNAMELEN
#define MAXHOSTNAMELEN	256

#endif /* _COMPAT_SYS_PARAM_H_ */
