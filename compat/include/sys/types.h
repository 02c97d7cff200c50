/*
 * The host's <sys/types.h> with what FreeBSD's gives on top: the
 * exact-width and pointer-width integer types of its <sys/_stdint.h>, so
 * that code which includes <sys/types.h> alone, as FreeBSD's headers want,
 * has them here too.
 */
#ifndef _COMPAT_SYS_TYPES_H_
#define _COMPAT_SYS_TYPES_H_

#include_next <sys/types.h>
#include <bits/stdint-uintn.h>

#ifndef __intptr_t_defined
typedef __intptr_t	intptr_t;
#define __intptr_t_defined
#endif
typedef __UINTPTR_TYPE__ uintptr_t;
typedef __intmax_t	intmax_t;
typedef __uintmax_t	uintmax_t;

#endif /* _COMPAT_SYS_TYPES_H_ */
