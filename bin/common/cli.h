#ifndef COMMON_CLI_H
#define COMMON_CLI_H

/*
 * Make sure descriptors 0, 1 and 2 are open before the program makes any
 * descriptor of its own, so that none of its sockets lands on a standard
 * stream: each closed one is opened on /dev/null. Returns the descriptors
 * that were closed, as a mask of (1 << fd). Reports and exits when
 * /dev/null cannot be opened.
 */
int	cli_stdfds(void);

/*
 * The index in argv of the word that holds the option getopt_long(3) has
 * just refused, given optind as it was before that call.
 */
int	cli_optword(char **argv, int before);

#endif
