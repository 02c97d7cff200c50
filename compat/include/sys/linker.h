/* The kernel linker: kernel files and what they hold. */
#ifndef _SYS_LINKER_H_
#define _SYS_LINKER_H_

#include <sys/param.h>

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
