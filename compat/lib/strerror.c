/*
 * strerror with FreeBSD's texts, in place of the host's for the programs
 * that link it: they print system errors the way FreeBSD does, and where the
 * host's wording differs, FreeBSD's wins.
 *
 * This file is linked as an object, not taken from the archive: a sanitizer
 * runtime that defines strerror itself would otherwise keep the archive's
 * definition out of the program.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <stdio.h>
#include <string.h>

static const struct {
	int		 num;
	const char	*text;
} freebsd_texts[] = {
	{0, "No error: 0"},
	{ENXIO, "Device not configured"},
	{EDOOFUS, "Programming error"},
	{EBUSY, "Device busy"},
	{ENODEV, "Operation not supported by device"},
	{EXDEV, "Cross-device link"},
	{EISCONN, "Socket is already connected"},
	{ENOTCONN, "Socket is not connected"},
	{ESHUTDOWN, "Can't send after socket shutdown"},
	{ETOOMANYREFS, "Too many references: can't splice"},
	{ETIMEDOUT, "Operation timed out"},
	{EADDRNOTAVAIL, "Can't assign requested address"},
	{ESTALE, "Stale NFS file handle"},
	{EREMOTE, "Too many levels of remote in path"},
	{EOVERFLOW, "Value too large to be stored in data type"},
	{EILSEQ, "Illegal byte sequence"},
};

static _Thread_local char unknown_buf[32];

char *
strerror(int errnum)
{
	for (size_t i = 0; i < sizeof(freebsd_texts) / sizeof(freebsd_texts[0]); i++)
		if (freebsd_texts[i].num == errnum)
			return (char *)freebsd_texts[i].text;

	const char *host = strerrordesc_np(errnum);
	if (host != NULL)
		return (char *)host;
	snprintf(unknown_buf, sizeof(unknown_buf), "Unknown error: %d", errnum);
	return unknown_buf;
}
