/* shm_open with FreeBSD's SHM_ANON: an object without a name, on memfd. */
#include <sys/types.h>
#include <sys/mman.h>
#include <sys/stat.h>

#undef shm_open

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

extern "C" int
compat_shm_open(const char *path, int flags, mode_t mode)
{
	if (path != SHM_ANON)
		return shm_open(path, flags, mode);

	/* The object is for writing into; the other flags mean nothing here. */
	if ((flags & O_ACCMODE) == O_RDONLY) {
		errno = EINVAL;
		return -1;
	}
	int fd = memfd_create("shm_anon", MFD_CLOEXEC);
	if (fd < 0)
		return -1;
	mode_t mask = umask(0);
	umask(mask);
	(void)fchmod(fd, mode & ~mask & 0777);
	return fd;
}
