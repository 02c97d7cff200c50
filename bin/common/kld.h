#ifndef COMMON_KLD_H
#define COMMON_KLD_H

/*
 * Make sure a kernel module is present: load the kernel file named after it
 * unless a loaded file already provides a module of that name. Reports and
 * exits when the load fails.
 */
void kld_ensure_load(const char *search);

#endif
