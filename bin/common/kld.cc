#include <sys/param.h>
#include <sys/linker.h>
#include <sys/module.h>

#include <assert.h>
#include <err.h>
#include <stddef.h>
#include <string.h>

#include "kld.h"
#include "ng.h"

/*
 * Module names may carry a bus prefix ("pci/em"); only the part before the
 * first slash is dropped, so "x/ng_socket" provides ng_socket and
 * "x/y/ng_socket" does not.
 */
static const char *
kld_module_basename(const char *name)
{
	const char *slash = strchr(name, '/');

	return slash != NULL ? slash + 1 : name;
}

void
kld_ensure_load(const char *search)
{
	struct module_stat mstat;

	assert(search != NULL);

	mstat.version = sizeof(mstat);
	/* A failing walk call ends its list exactly as the end of it does. */
	for (int fileid = kldnext(0); fileid > 0; fileid = kldnext(fileid)) {
		for (int modid = kldfirstmod(fileid); modid > 0;
		    modid = modfnext(modid)) {
			if (modstat(modid, &mstat) < 0)
				continue;
			if (strcmp(kld_module_basename(mstat.name), search) == 0)
				return;
		}
	}

	if (kldload(search) < 0)
		err(ng_status_oserr(), "%s: unable to load kernel module \"%s\"",
		    __func__, search);
}
