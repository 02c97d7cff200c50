/* Kernel modules: the units a kernel file provides. */
#ifndef _SYS_MODULE_H_
#define _SYS_MODULE_H_

/*
 * FreeBSD's header sizes its records by <sys/param.h>'s limits and needs it
 * first; so does this one.
 */
#ifndef MAXPATHLEN
#error "<sys/module.h> needs <sys/param.h> first"
#endif

#define MAXMODNAME	MAXPATHLEN

typedef union modspecific {
	int		intval;
	unsigned int	uintval;
	long		longval;
	unsigned long	ulongval;
} modspecific_t;

struct module_stat {
	int		version;	/* set to sizeof(struct module_stat) */
	char		name[MAXMODNAME];
	int		refs;
	int		id;
	modspecific_t	data;
};

#ifdef __cplusplus
static_assert(sizeof(struct module_stat) == 1048, "struct module_stat is 1048 bytes");
extern "C" {
#else
_Static_assert(sizeof(struct module_stat) == 1048, "struct module_stat is 1048 bytes");
#endif

int	modnext(int modid);
int	modfnext(int modid);
int	modstat(int modid, struct module_stat *stat);
int	modfind(const char *modname);

#ifdef __cplusplus
}
#endif

#endif /* _SYS_MODULE_H_ */
