/*
 * vnets and jails.
 *
 * vnet 0 is the host; every jail has a vnet of its own, numbered by its jail
 * ID. Jails nest: one made inside vj1 is "vj1.inner" from the host and
 * "inner" from inside vj1, and references resolve only among the jails below
 * the caller's.
 *
 * With network stacks enabled (the daemon does so at start; unit tests of
 * the graph do not), every vnet, the host's included, is a Linux network
 * namespace of the kernel's own. A process is in the jail whose namespace it
 * is in: membership is carried by the process and enforced by the Linux
 * kernel (inherited across fork and exec, unchanged by reparenting, changed
 * only by entering another namespace, which takes CAP_SYS_ADMIN). A
 * connection to the kernel belongs to the vnet of the namespace its socket
 * was made in, which the Linux kernel reports (SO_NETNS_COOKIE); the
 * namespace the kernel was started from counts as the host's, and any other
 * namespace is none of this kernel's.
 */
#ifndef NGSIM_VNET_H
#define NGSIM_VNET_H

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace ngsim {

struct Jail {
	int		jid;
	std::string	name;		/* its own short name */
	int		parent;		/* 0: the host */
	int		nsfd = -1;	/* its network namespace */
	uint64_t	cookie = 0;	/* ... as SO_NETNS_COOKIE gives it */
};

class Vnets {
public:
	Vnets() = default;
	~Vnets();
	Vnets(const Vnets &) = delete;
	Vnets &operator=(const Vnets &) = delete;

	/*
	 * Gives the host a network namespace of its own and moves the calling
	 * process into it; jails made from now on get one each. 0, or an errno
	 * with a message in `err`.
	 */
	int enable_stacks(std::string &err);
	bool stacks() const { return host_nsfd_ >= 0; }

	/* A jail called `name` below `parent`; EINVAL, ENOENT or EEXIST. */
	int create(const std::string &name, int parent, int &jid,
	    std::string &errmsg);
	const Jail *jail(int jid) const;
	bool below(int jid, int ancestor) const;	/* strictly below */
	/* The name of `jid` as seen from jail `from` ("vj1.inner"). */
	std::string name_of(int jid, int from) const;
	/* A reference from jail `from`: 0 and `jid`, or ENOENT. */
	int resolve(int from, const std::string &ref, int &jid) const;
	/* As jail_getid(3): ENOENT with libjail's message in `errmsg`. */
	int getid(int from, const std::string &ref, int &jid,
	    std::string &errmsg) const;
	/* jail_attach(2) from jail `from`: 0, EPERM (not root) or EINVAL. */
	int attach_check(uid_t uid, int from, int jid) const;

	/* The vnet a socket belongs to, or -1 for a namespace not ours. */
	int vnet_of_socket(int fd) const;
	/* The namespace of a vnet, -1 without stacks or for no such vnet. */
	int nsfd(int vnet) const;
	/* A path that opens the namespace, for nsenter(1). */
	std::string ns_path(int vnet) const;
	/*
	 * Runs `fn` with the calling thread inside the namespace of `vnet`, and
	 * comes back. Returns what `fn` returns, or the errno of entering.
	 */
	int in_vnet(int vnet, const std::function<int()> &fn) const;

private:
	std::map<int, Jail> jails_;
	int next_jid_ = 1;
	int host_nsfd_ = -1;
	uint64_t host_cookie_ = 0;
	uint64_t outer_cookie_ = 0;	/* where the kernel was started */
};

} // namespace ngsim

#endif /* NGSIM_VNET_H */
