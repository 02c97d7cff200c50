/*
 * The host's <sys/mman.h> with FreeBSD's additions: anonymous shared memory
 * objects (SHM_ANON) and the placement flags MAP_ALIGNED and MAP_EXCL.
 *
 * FreeBSD's flag values collide with the host's own (0x4000 is the host's
 * MAP_NORESERVE, bits 24 to 31 its huge-page size), so the programs' calls
 * are redirected to translating versions; the C library's own mmap and
 * shm_open stay as they are for everyone else.
 */
#ifndef _COMPAT_SYS_MMAN_H_
#define _COMPAT_SYS_MMAN_H_

#include_next <sys/mman.h>

#define SHM_ANON		((char *)1)

#define MAP_ALIGNMENT_SHIFT	24
#define MAP_ALIGNMENT_MASK	(0xffU << MAP_ALIGNMENT_SHIFT)
#define MAP_ALIGNED(n)		((n) << MAP_ALIGNMENT_SHIFT)
#define MAP_ALIGNED_SUPER	MAP_ALIGNED(1)
#undef MAP_EXCL
#define MAP_EXCL		0x00004000

#ifdef __cplusplus
extern "C" {
#endif

void	*compat_mmap(void *addr, size_t len, int prot, int flags, int fd,
	    off_t offset);
int	 compat_shm_open(const char *path, int flags, mode_t mode);

#ifdef __cplusplus
}
#endif

#define mmap		compat_mmap
#define shm_open	compat_shm_open

#endif /* _COMPAT_SYS_MMAN_H_ */
