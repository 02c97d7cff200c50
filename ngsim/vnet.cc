/*
 * vnets and jails: the jail tree, references to jails, and the Linux network
 * namespace behind every vnet.
 */
#include "vnet.h"

#include "netdev.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#ifndef SO_NETNS_COOKIE
#define SO_NETNS_COOKIE 71
#endif

namespace ngsim {

namespace {

bool all_digits(const std::string &s)
{
	return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

/* The Linux kernel's cookie of the namespace the calling thread is in. */
int current_cookie(uint64_t &cookie)
{
	int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return errno;
	socklen_t len = sizeof cookie;
	int e = getsockopt(fd, SOL_SOCKET, SO_NETNS_COOKIE, &cookie, &len) < 0 ?
	    errno : 0;
	close(fd);
	return e;
}

/*
 * Moves the calling thread into a new network namespace and sets up its
 * stack; `nsfd` and `cookie` describe it. The caller goes back.
 */
int new_namespace(int &nsfd, uint64_t &cookie, std::string &err)
{
	if (unshare(CLONE_NEWNET) < 0) {
		err = std::string("cannot make a network namespace: ") +
		    strerror(errno);
		return errno;
	}
	nsfd = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
	if (nsfd < 0) {
		err = std::string("cannot open the network namespace: ") +
		    strerror(errno);
		return errno;
	}
	int e = current_cookie(cookie);
	if (e == 0)
		e = netdev_setup_stack(err);
	else
		err = std::string("cannot identify the network namespace: ") +
		    strerror(e);
	return e;
}

} // namespace

Vnets::~Vnets()
{
	for (auto &p : jails_)
		if (p.second.nsfd >= 0)
			close(p.second.nsfd);
	if (host_nsfd_ >= 0)
		close(host_nsfd_);
}

int Vnets::enable_stacks(std::string &err)
{
	if (stacks())
		return 0;
	int e = current_cookie(outer_cookie_);
	if (e != 0) {
		err = std::string("this Linux kernel cannot tell network "
		    "namespaces apart: ") + strerror(e);
		return e;
	}
	int nsfd = -1;
	e = new_namespace(nsfd, host_cookie_, err);
	if (e != 0) {
		if (nsfd >= 0)
			close(nsfd);
		return e;
	}
	host_nsfd_ = nsfd;
	return 0;
}

const Jail *Vnets::jail(int jid) const
{
	auto it = jails_.find(jid);
	return it == jails_.end() ? nullptr : &it->second;
}

bool Vnets::below(int jid, int ancestor) const
{
	if (jid == ancestor)
		return false;
	for (const Jail *j = jail(jid); j != nullptr; j = jail(j->parent))
		if (j->parent == ancestor)
			return true;
	return false;
}

std::string Vnets::name_of(int jid, int from) const
{
	std::string name;
	for (const Jail *j = jail(jid); j != nullptr && j->jid != from;
	    j = jail(j->parent))
		name = name.empty() ? j->name : j->name + "." + name;
	return name;
}

int Vnets::create(const std::string &name, int parent, int &jid,
    std::string &errmsg)
{
	if (name.empty() || name.find('.') != std::string::npos ||
	    name.size() >= 256 || all_digits(name)) {
		errmsg = "invalid jail name \"" + name + "\"";
		return EINVAL;
	}
	if (parent != 0 && jail(parent) == nullptr) {
		errmsg = "jail " + std::to_string(parent) + " not found";
		return ENOENT;
	}
	for (auto &p : jails_)
		if (p.second.parent == parent && p.second.name == name) {
			errmsg = "jail \"" + name + "\" already exists";
			return EEXIST;
		}
	Jail j{next_jid_, name, parent};
	if (stacks()) {
		int e = new_namespace(j.nsfd, j.cookie, errmsg);
		if (setns(host_nsfd_, CLONE_NEWNET) < 0)
			abort();	/* the kernel must stay in its own */
		if (e != 0) {
			if (j.nsfd >= 0)
				close(j.nsfd);
			return e;
		}
	}
	jid = next_jid_++;
	jails_[jid] = j;
	return 0;
}

int Vnets::resolve(int from, const std::string &ref, int &jid) const
{
	if (ref.empty())
		return ENOENT;
	if (all_digits(ref)) {
		unsigned long n = strtoul(ref.c_str(), nullptr, 10);
		if (n == 0) {
			jid = 0;
			return 0;
		}
		if (n > 0x7fffffff || !below(static_cast<int>(n), from))
			return ENOENT;
		jid = static_cast<int>(n);
		return 0;
	}
	int cur = from;
	size_t pos = 0;
	for (;;) {
		size_t dot = ref.find('.', pos);
		std::string seg = ref.substr(pos, dot == std::string::npos ?
		    std::string::npos : dot - pos);
		int found = -1;
		for (auto &p : jails_)
			if (p.second.parent == cur && p.second.name == seg)
				found = p.first;
		if (found < 0)
			return ENOENT;
		cur = found;
		if (dot == std::string::npos)
			break;
		pos = dot + 1;
	}
	jid = cur;
	return 0;
}

int Vnets::getid(int from, const std::string &ref, int &jid,
    std::string &errmsg) const
{
	if (resolve(from, ref, jid) == 0)
		return 0;
	if (all_digits(ref))
		errmsg = "jail " + std::to_string(static_cast<int>(
		    strtoul(ref.c_str(), nullptr, 10))) + " not found";
	else
		errmsg = "jail \"" + ref + "\" not found";
	return ENOENT;
}

int Vnets::attach_check(uid_t uid, int from, int jid) const
{
	if (uid != 0)
		return EPERM;
	if (jid <= 0 || jail(jid) == nullptr || !below(jid, from))
		return EINVAL;
	return 0;
}

int Vnets::vnet_of_socket(int fd) const
{
	if (!stacks())
		return 0;
	uint64_t cookie = 0;
	socklen_t len = sizeof cookie;
	if (getsockopt(fd, SOL_SOCKET, SO_NETNS_COOKIE, &cookie, &len) < 0)
		return -1;
	if (cookie == host_cookie_ || cookie == outer_cookie_)
		return 0;
	for (const auto &p : jails_)
		if (p.second.cookie == cookie)
			return p.first;
	return -1;
}

int Vnets::nsfd(int vnet) const
{
	if (vnet == 0)
		return host_nsfd_;
	const Jail *j = jail(vnet);
	return j != nullptr ? j->nsfd : -1;
}

std::string Vnets::ns_path(int vnet) const
{
	int fd = nsfd(vnet);
	if (fd < 0)
		return std::string();
	return "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(fd);
}

int Vnets::in_vnet(int vnet, const std::function<int()> &fn) const
{
	int fd = nsfd(vnet);
	if (fd < 0)
		return stacks() ? ENOENT : ENOTSUP;
	if (setns(fd, CLONE_NEWNET) < 0)
		return errno;
	int r = fn();
	if (setns(host_nsfd_, CLONE_NEWNET) < 0)
		abort();	/* the kernel must stay in its own */
	return r;
}

} // namespace ngsim
