/* Kernel modules: walking and describing them, answered by the emulated kernel. */
#include <sys/param.h>
#include <sys/module.h>

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "ngsim_client.h"

int
modfnext(int modid)
{
	int32_t arg = modid;

	return ngsim_oneshot(NGSIM_OP_MODFNEXT, &arg, sizeof(arg), -1, nullptr,
	    nullptr);
}

int
modfind(const char *modname)
{
	if (modname == nullptr) {
		errno = EFAULT;
		return -1;
	}
	size_t len = strlen(modname);
	if (len >= MAXMODNAME) {
		errno = ENAMETOOLONG;
		return -1;
	}
	return ngsim_oneshot(NGSIM_OP_MODFIND, modname, len + 1, -1, nullptr,
	    nullptr);
}

int
modstat(int modid, struct module_stat *stat)
{
	int32_t arg = modid;
	void *payload;
	uint32_t paylen;

	if (stat == nullptr) {
		errno = EFAULT;
		return -1;
	}
	/* The caller states which layout it was built with. */
	if (stat->version != static_cast<int>(sizeof(struct module_stat))) {
		errno = EINVAL;
		return -1;
	}
	if (ngsim_oneshot(NGSIM_OP_MODSTAT, &arg, sizeof(arg), -1, &payload,
	    &paylen) < 0) {
		int saved = errno;
		free(payload);
		errno = saved;
		return -1;
	}
	struct ngsim_modstat ms;
	if (payload == nullptr || paylen < sizeof(ms)) {
		free(payload);
		errno = EPROTO;
		return -1;
	}
	memcpy(&ms, payload, sizeof(ms));
	free(payload);

	size_t n = strnlen(ms.name, sizeof(ms.name));
	if (n >= sizeof(stat->name))
		n = sizeof(stat->name) - 1;
	memcpy(stat->name, ms.name, n);
	stat->name[n] = '\0';
	stat->refs = ms.refs;
	stat->id = ms.id;
	memset(&stat->data, 0, sizeof(stat->data));
	return 0;
}

/* The kernel answers module walks per file only. */
int
modnext(int modid)
{
	(void)modid;
	errno = EOPNOTSUPP;
	return -1;
}
