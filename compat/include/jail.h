/* libjail: jails by name or number. */
#ifndef _JAIL_H_
#define _JAIL_H_

#define JAIL_ERRMSGLEN	1024

#ifdef __cplusplus
extern "C" {
#endif

extern char jail_errmsg[];

int	jail_getid(const char *name);
char	*jail_getname(int jid);

#ifdef __cplusplus
}
#endif

#endif /* _JAIL_H_ */
