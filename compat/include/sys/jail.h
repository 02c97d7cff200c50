/* Jails: the system calls. */
#ifndef _SYS_JAIL_H_
#define _SYS_JAIL_H_

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

int	jail_attach(int jid);
int	jail_remove(int jid);

#ifdef __cplusplus
}
#endif

#endif /* _SYS_JAIL_H_ */
