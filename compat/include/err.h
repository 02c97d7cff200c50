/*
 * The host's <err.h> with what FreeBSD adds: err_set_exit and the variants
 * that take an explicit error code.
 */
#ifndef _COMPAT_ERR_H_
#define _COMPAT_ERR_H_

#include_next <err.h>

#ifdef __cplusplus
extern "C" {
#endif

void	err_set_exit(void (*exitf)(int));
void	errc(int eval, int code, const char *fmt, ...)
	    __attribute__((__noreturn__, __format__(__printf__, 3, 4)));
void	verrc(int eval, int code, const char *fmt, __gnuc_va_list ap)
	    __attribute__((__noreturn__, __format__(__printf__, 3, 0)));
void	warnc(int code, const char *fmt, ...)
	    __attribute__((__format__(__printf__, 2, 3)));
void	vwarnc(int code, const char *fmt, __gnuc_va_list ap)
	    __attribute__((__format__(__printf__, 2, 0)));

#ifdef __cplusplus
}
#endif

#endif /* _COMPAT_ERR_H_ */
