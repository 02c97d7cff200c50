/* libnetgraph: user-space access to the kernel's netgraph(4) framework. */
#ifndef _NETGRAPH_H_
#define _NETGRAPH_H_

#include <sys/types.h>
#include <netgraph/ng_message.h>

#ifdef __cplusplus
extern "C" {
#endif

int	NgMkSockNode(const char *name, int *csp, int *dsp);
int	NgNameNode(int cs, const char *path, const char *fmt, ...)
	    __attribute__((format(printf, 3, 4)));
int	NgSendMsg(int cs, const char *path, int cookie, int cmd,
	    const void *arg, size_t arglen);
int	NgSendAsciiMsg(int cs, const char *path, const char *fmt, ...)
	    __attribute__((format(printf, 3, 4)));
int	NgSendReplyMsg(int cs, const char *path, const struct ng_mesg *msg,
	    const void *arg, size_t arglen);
int	NgRecvMsg(int cs, struct ng_mesg *rep, size_t replen, char *path);
int	NgAllocRecvMsg(int cs, struct ng_mesg **rep, char *path);
int	NgAllocRecvAsciiMsg(int cs, struct ng_mesg **rep, char *path);
int	NgSendData(int ds, const char *hook, const u_char *buf, size_t len);
int	NgRecvData(int ds, u_char *buf, size_t len, char *hook);
int	NgAllocRecvData(int ds, u_char **buf, char *hook);
int	NgSetDebug(int level);

#ifdef __cplusplus
}
#endif

#endif /* _NETGRAPH_H_ */
