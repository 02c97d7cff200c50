/*
 * `ngsim kernel`: a kernel of its own network namespaces, on a socket in a
 * place no other user can have prepared.
 *
 * The socket's directory must belong to root and be writable by root alone,
 * and every directory above it must belong to root and be writable by no one
 * else unless sticky: then no other user can have put a socket, a link or a
 * directory of theirs on the path, nor swap one in later. The default
 * directory, /run/ngsim, is made if it is missing. The socket is made by
 * bind(2), which never follows a link, with its mode set by the umask of
 * that moment rather than by a later chmod.
 */
#include "start.h"

#include "cli.h"
#include "daemon.h"
#include "kernel.h"
#include "proto.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace ngsim {

namespace {

std::string dir_of(const std::string &path)
{
	size_t slash = path.rfind('/');
	if (slash == std::string::npos)
		return ".";
	return slash == 0 ? "/" : path.substr(0, slash);
}

/* Why `dir` is not a safe home for the socket, or "". */
std::string unsafe(const std::string &dir)
{
	char real[PATH_MAX];
	if (realpath(dir.c_str(), real) == nullptr)
		return dir + ": " + strerror(errno);
	std::string p = real;
	bool own = true;	/* the socket's own directory */
	for (;;) {
		struct stat st;
		if (lstat(p.c_str(), &st) < 0)
			return p + ": " + strerror(errno);
		if (!S_ISDIR(st.st_mode))
			return p + " is not a directory";
		if (st.st_uid != 0)
			return p + " belongs to another user";
		bool others = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
		if (others && (own || !(st.st_mode & S_ISVTX)))
			return p + " is writable by other users";
		if (p == "/")
			return "";
		p = dir_of(p);
		own = false;
	}
}

} // namespace

int start_kernel(bool foreground)
{
	std::string path = socket_path();
	sockaddr_un sa;
	memset(&sa, 0, sizeof sa);
	sa.sun_family = AF_UNIX;
	if (path.empty() || path.size() >= sizeof sa.sun_path)
		die("socket path too long: %s", path.c_str());
	memcpy(sa.sun_path, path.c_str(), path.size());
	if (geteuid() != 0)
		die("the emulated kernel runs as root");

	std::string dir = dir_of(path);
	if (path == NGSIM_DEFAULT_SOCKET && mkdir(dir.c_str(), 0755) < 0 &&
	    errno != EEXIST)
		die("cannot make %s: %s", dir.c_str(), strerror(errno));
	std::string why = unsafe(dir);
	if (!why.empty())
		die("refusing the socket path %s: %s", path.c_str(), why.c_str());

	int probe = connect_kernel(true);
	if (probe >= 0) {
		close(probe);
		die("a kernel is already running at %s", path.c_str());
	}
	struct stat st;
	if (lstat(path.c_str(), &st) == 0) {
		/* What is left of a kernel that is gone; nothing else. */
		if (!S_ISSOCK(st.st_mode) || st.st_uid != 0)
			die("refusing the socket path %s: something else is "
			    "there", path.c_str());
		unlink(path.c_str());
	}

	Kernel *k = new Kernel;	/* the daemon's, for as long as it runs */
	std::string err;
	if (k->vnets.enable_stacks(err) != 0)
		die("cannot give jails network stacks: %s", err.c_str());

	int lfd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
	if (lfd < 0)
		die("socket: %s", strerror(errno));
	/* Every user may call the kernel, as every process may FreeBSD's. */
	mode_t old = umask(0111);
	int rc = bind(lfd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
	int e = errno;
	umask(old);
	if (rc < 0)
		die("bind %s: %s", path.c_str(), strerror(e));
	if (listen(lfd, 128) < 0)
		die("listen: %s", strerror(errno));
	if (foreground)
		return run_kernel(*k, lfd, path);
	/* The socket accepts clients from here on; the child serves them. */
	pid_t pid = fork();
	if (pid < 0)
		die("fork: %s", strerror(errno));
	if (pid > 0)
		return 0;
	setsid();
	int nul = open("/dev/null", O_RDWR);
	if (nul >= 0) {
		dup2(nul, 0);
		dup2(nul, 1);
		dup2(nul, 2);
		if (nul > 2)
			close(nul);
	}
	_exit(run_kernel(*k, lfd, path));
}

} // namespace ngsim
