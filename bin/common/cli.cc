#include <sys/types.h>

#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
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

int
cli_optword(char **argv, int before)
{
	const char *prev;

	/*
	 * The library moves optind past a word once it has read the word's
	 * last character. Until then optind names the word itself: either
	 * it has not moved since the call before, or it has moved only over
	 * words that are no options (the library gathers those at the end),
	 * so the word in front of it is no option either.
	 */
	if (optind == before)
		return (optind);
	prev = argv[optind - 1];
	if (prev[0] != '-' || prev[1] == '\0')
		return (optind);
	return (optind - 1);
}
