/* The kernel linker's calls, answered by the emulated kernel. */
#include <sys/param.h>
#include <sys/linker.h>

#include <errno.h>
#include <stdint.h>
#include <string.h>

#include "ngsim_client.h"

static int
kld_by_name(uint32_t op, const char *file)
{
	if (file == nullptr) {
		errno = EFAULT;
		return -1;
	}
	size_t len = strlen(file);
	if (len >= MAXPATHLEN) {
		errno = ENAMETOOLONG;
		return -1;
	}
	return ngsim_oneshot(op, file, len + 1, -1, nullptr, nullptr);
}

static int
kld_by_id(uint32_t op, int id)
{
	int32_t arg = id;

	return ngsim_oneshot(op, &arg, sizeof(arg), -1, nullptr, nullptr);
}

int
kldload(const char *file)
{
	return kld_by_name(NGSIM_OP_KLDLOAD, file);
}

int
kldfind(const char *file)
{
	return kld_by_name(NGSIM_OP_KLDFIND, file);
}

int
kldnext(int fileid)
{
	return kld_by_id(NGSIM_OP_KLDNEXT, fileid);
}

int
kldfirstmod(int fileid)
{
	return kld_by_id(NGSIM_OP_KLDFIRSTMOD, fileid);
}

/* The emulated kernel keeps what it loaded until it halts. */
int
kldunload(int fileid)
{
	(void)fileid;
	errno = EOPNOTSUPP;
	return -1;
}
