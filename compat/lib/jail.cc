/* libjail and the jail system calls, answered by the emulated kernel. */
#include <sys/param.h>
#include <sys/jail.h>

#include <errno.h>
#include <sched.h>
#include <jail.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ngsim_client.h"

char jail_errmsg[JAIL_ERRMSGLEN];

static void
set_errmsg_text(const void *text, uint32_t len)
{
	size_t n = strnlen(static_cast<const char *>(text), len);

	if (n >= sizeof(jail_errmsg))
		n = sizeof(jail_errmsg) - 1;
	memcpy(jail_errmsg, text, n);
	jail_errmsg[n] = '\0';
}

/*
 * A refusal carries the kernel's message; a call that never reached the
 * kernel gets one made from the transport's error.
 */
static void
set_errmsg(const char *call, void *payload, uint32_t paylen, int error)
{
	if (payload != nullptr && paylen > 0)
		set_errmsg_text(payload, paylen);
	else
		snprintf(jail_errmsg, sizeof(jail_errmsg), "%s: %s", call,
		    strerror(error));
}

int
jail_getid(const char *name)
{
	void *payload;
	uint32_t paylen;

	if (name == nullptr) {
		errno = EFAULT;
		snprintf(jail_errmsg, sizeof(jail_errmsg), "jail_get: %s",
		    strerror(errno));
		return -1;
	}
	int jid = ngsim_oneshot(NGSIM_OP_JAIL_GETID, name, strlen(name) + 1, -1,
	    &payload, &paylen);
	if (jid < 0) {
		int saved = errno;
		set_errmsg("jail_get", payload, paylen, saved);
		free(payload);
		errno = saved;
		return -1;
	}
	free(payload);
	return jid;
}

char *
jail_getname(int jid)
{
	int32_t arg = jid;
	void *payload;
	uint32_t paylen;

	if (ngsim_oneshot(NGSIM_OP_JAIL_GETNAME, &arg, sizeof(arg), -1, &payload,
	    &paylen) < 0) {
		int saved = errno;
		set_errmsg("jail_get", payload, paylen, saved);
		free(payload);
		errno = saved;
		return nullptr;
	}
	char *name = static_cast<char *>(malloc(paylen + 1));
	if (name == nullptr) {
		free(payload);
		snprintf(jail_errmsg, sizeof(jail_errmsg), "malloc: %s",
		    strerror(ENOMEM));
		errno = ENOMEM;
		return nullptr;
	}
	size_t n = payload != nullptr ? strnlen(static_cast<char *>(payload), paylen) : 0;
	if (n > 0)
		memcpy(name, payload, n);
	name[n] = '\0';
	free(payload);
	return name;
}

/*
 * The kernel checks the request and hands over the jail's network
 * namespace; entering it is what puts the process in the jail, and the
 * Linux kernel lets only a privileged process do that.
 */
int
jail_attach(int jid)
{
	int32_t arg = jid;
	struct ngsim_iov iov = {&arg, sizeof(arg)};
	struct ngsim_reply reply;

	if (ngsim_call(NGSIM_OP_JAIL_ATTACH, &iov, 1, -1, &reply) < 0)
		return -1;
	int rc = 0;
	if (reply.rsp.error != 0) {
		errno = reply.rsp.error;
		rc = -1;
	} else if (reply.fds[0] < 0) {
		errno = EPROTO;
		rc = -1;
	} else if (setns(reply.fds[0], CLONE_NEWNET) < 0) {
		rc = -1;
	}
	int saved = errno;
	ngsim_reply_free(&reply);
	errno = saved;
	return rc;
}

int
jail_remove(int jid)
{
	(void)jid;
	errno = EOPNOTSUPP;
	return -1;
}
