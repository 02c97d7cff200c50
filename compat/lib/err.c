/*
 * The err(3) family with FreeBSD's err_set_exit: the registered routine runs
 * with the exit status just before err, errx, verr and verrx exit. These
 * definitions take the place of the host's for the programs that link them.
 */
#define _GNU_SOURCE
#include <err.h>
#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void (*exit_hook)(int);

void
err_set_exit(void (*exitf)(int))
{
	exit_hook = exitf;
}

struct line {
	char	buf[4096];
	size_t	len;		/* the last byte stays free for the newline */
};

static void
vappend(struct line *l, const char *fmt, va_list ap)
{
	size_t room = sizeof(l->buf) - 1 - l->len;
	int n = vsnprintf(l->buf + l->len, room + 1, fmt, ap);

	if (n > 0)
		l->len += (size_t)n < room ? (size_t)n : room;
}

static void
append(struct line *l, const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	vappend(l, fmt, ap);
	va_end(ap);
}

/*
 * One report, written in a single write so that reports of several
 * processes sharing standard error do not interleave: "name: ", the message
 * when there is one, ": " and the error text when `with_code`, a newline.
 */
static void
report(int with_code, int code, const char *fmt, va_list ap)
{
	struct line l;

	l.len = 0;
	append(&l, "%s: ", program_invocation_short_name);
	if (fmt != NULL) {
		vappend(&l, fmt, ap);
		if (with_code)
			append(&l, ": ");
	}
	if (with_code)
		append(&l, "%s", strerror(code));
	l.buf[l.len++] = '\n';

	const char *p = l.buf;
	size_t len = l.len;
	while (len > 0) {
		ssize_t w = write(STDERR_FILENO, p, len);
		if (w < 0) {
			if (errno == EINTR)
				continue;
			/* Standard error may share a non-blocking file description. */
			if (errno == EAGAIN) {
				struct pollfd pfd = {STDERR_FILENO, POLLOUT, 0};
				(void)poll(&pfd, 1, 100);
				continue;
			}
			break;
		}
		p += w;
		len -= (size_t)w;
	}
}

static void __attribute__((noreturn))
finish(int eval)
{
	if (exit_hook != NULL)
		exit_hook(eval);
	exit(eval);
}

void
vwarnc(int code, const char *fmt, va_list ap)
{
	int saved = errno;

	report(1, code, fmt, ap);
	errno = saved;
}

void
vwarn(const char *fmt, va_list ap)
{
	vwarnc(errno, fmt, ap);
}

void
vwarnx(const char *fmt, va_list ap)
{
	int saved = errno;

	report(0, 0, fmt, ap);
	errno = saved;
}

void
warnc(int code, const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	vwarnc(code, fmt, ap);
	va_end(ap);
}

void
warn(const char *fmt, ...)
{
	va_list ap;
	int code = errno;

	va_start(ap, fmt);
	vwarnc(code, fmt, ap);
	va_end(ap);
}

void
warnx(const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	vwarnx(fmt, ap);
	va_end(ap);
}

void
verrc(int eval, int code, const char *fmt, va_list ap)
{
	report(1, code, fmt, ap);
	finish(eval);
}

void
verr(int eval, const char *fmt, va_list ap)
{
	verrc(eval, errno, fmt, ap);
}

void
verrx(int eval, const char *fmt, va_list ap)
{
	report(0, 0, fmt, ap);
	finish(eval);
}

void
errc(int eval, int code, const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	verrc(eval, code, fmt, ap);
	va_end(ap);
}

void
err(int eval, const char *fmt, ...)
{
	va_list ap;
	int code = errno;

	va_start(ap, fmt);
	verrc(eval, code, fmt, ap);
	va_end(ap);
}

void
errx(int eval, const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	verrx(eval, fmt, ap);
	va_end(ap);
}
