#include <sys/types.h>

#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <paths.h>
#include <unistd.h>

#include "cli.h"
#include "ng.h"

int
cli_stdfds(void)
{
	int closed, fd;

	closed = 0;
	for (fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
		if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
			continue;
		closed |= 1 << fd;
		/* The lower ones are open: this is the lowest free descriptor. */
		if (open(_PATH_DEVNULL, O_RDWR) == -1)
			err(ng_status_oserr(), "%s", _PATH_DEVNULL);
	}
	return (closed);
}
