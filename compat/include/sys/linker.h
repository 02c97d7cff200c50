/* The kernel linker: kernel files and what they hold. */
#ifndef _SYS_LINKER_H_
#define _SYS_LINKER_H_

/*
 * FreeBSD's header sizes its records by <sys/param.h>'s limits and needs it
 * first; so does this one.
 */
#ifndef MAXPATHLEN
#error "<sys/linker.h> needs <sys/param.h> first"
#endif

#ifdef __cplusplus
extern "C" {
#endif

int	kldload(const char *file);
int	kldunload(int fileid);
int	kldfind(const char *file);
int	kldnext(int fileid);
int	kldfirstmod(int fileid);

#ifdef __cplusplus
}
#endif

#endif /* _SYS_LINKER_H_ */
