/* Jails: the system calls. */
#ifndef _SYS_JAIL_H_
#define _SYS_JAIL_H_

/*
 * FreeBSD's header sizes its records by <sys/param.h>'s limits and needs it
 * first; so does this one.
 */
#ifndef MAXPATHLEN
#error "<sys/jail.h> needs <sys/param.h> first"
#endif

#ifdef __cplusplus
extern "C" {
#endif

int	jail_attach(int jid);
int	jail_remove(int jid);

#ifdef __cplusplus
}
#endif

#endif /* _SYS_JAIL_H_ */
