/*
 * TAP and TUN devices, and the settings of a new stack.
 */
#include "netdev.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ngsim {

namespace {

/* One interface ioctl on a socket of the current namespace. */
int ifioctl(const std::string &name, unsigned long req, struct ifreq &ifr)
{
	if (name.empty() || name.size() > kMaxIfName)
		return EINVAL;
	int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (s < 0)
		return errno;
	memcpy(ifr.ifr_name, name.data(), name.size());
	ifr.ifr_name[name.size()] = '\0';
	int e = ioctl(s, req, &ifr) < 0 ? errno : 0;
	close(s);
	return e;
}

int link_up(const char *name)
{
	return netdev_set_flag(name, IFF_UP, true);
}

int write_sysctl(const char *path, const char *value)
{
	int fd = open(path, O_WRONLY | O_CLOEXEC);
	if (fd < 0)
		return errno;
	ssize_t n = write(fd, value, strlen(value));
	int e = n < 0 ? errno : 0;
	close(fd);
	return e;
}

} // namespace

int netdev_setup_stack(std::string &err)
{
	int e = link_up("lo");
	if (e != 0) {
		err = std::string("cannot bring the loopback interface up: ") +
		    strerror(e);
		return e;
	}
	/*
	 * Interfaces made later say nothing of their own accord: no automatic
	 * IPv6 link-local address (nor its duplicate detection and multicast
	 * reports), no router solicitations, and addresses given by hand are
	 * usable at once. What a test sees on a wire is what it caused.
	 */
	static const char *const settings[][2] = {
		{"/proc/sys/net/ipv6/conf/default/addr_gen_mode", "1"},
		{"/proc/sys/net/ipv6/conf/default/router_solicitations", "0"},
		{"/proc/sys/net/ipv6/conf/default/accept_dad", "0"},
	};
	for (const auto &s : settings) {
		e = write_sysctl(s[0], s[1]);
		/* A host without IPv6 has nothing to quieten. */
		if (e != 0 && e != ENOENT) {
			err = std::string("cannot set ") + s[0] + ": " + strerror(e);
			return e;
		}
	}
	return 0;
}

int netdev_open(const std::string &name, bool tun, uint32_t tag, int &fd)
{
	if (name.empty() || name.size() > kMaxIfName)
		return EINVAL;
	int t = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
	if (t < 0)
		return errno;
	struct ifreq ifr;
	memset(&ifr, 0, sizeof ifr);
	ifr.ifr_flags = (tun ? IFF_TUN : IFF_TAP) | IFF_NO_PI;
	memcpy(ifr.ifr_name, name.data(), name.size());
	int e = 0;
	if (ioctl(t, TUNSETIFF, &ifr) < 0)
		e = errno;
	if (e == 0 && !tun) {
		uint8_t mac[6] = {0x02, 0x6e, 0x67, static_cast<uint8_t>(tag >> 16),
		    static_cast<uint8_t>(tag >> 8), static_cast<uint8_t>(tag)};
		e = netdev_set_enaddr(name, mac);
	}
	if (e == 0)
		e = link_up(name.c_str());
	if (e != 0) {
		close(t);
		return e;
	}
	fd = t;
	return 0;
}

int netdev_ifindex(const std::string &name, int &index)
{
	struct ifreq ifr;
	memset(&ifr, 0, sizeof ifr);
	int e = ifioctl(name, SIOCGIFINDEX, ifr);
	if (e == 0)
		index = ifr.ifr_ifindex;
	return e;
}

int netdev_flags(const std::string &name, int &flags)
{
	struct ifreq ifr;
	memset(&ifr, 0, sizeof ifr);
	int e = ifioctl(name, SIOCGIFFLAGS, ifr);
	if (e == 0)
		flags = ifr.ifr_flags;
	return e;
}

int netdev_set_flag(const std::string &name, int flag, bool on)
{
	struct ifreq ifr;
	memset(&ifr, 0, sizeof ifr);
	int e = ifioctl(name, SIOCGIFFLAGS, ifr);
	if (e != 0 || ((ifr.ifr_flags & flag) != 0) == on)
		return e;
	ifr.ifr_flags = on ? (ifr.ifr_flags | flag) : (ifr.ifr_flags & ~flag);
	return ifioctl(name, SIOCSIFFLAGS, ifr);
}

int netdev_enaddr(const std::string &name, uint8_t mac[6])
{
	struct ifreq ifr;
	memset(&ifr, 0, sizeof ifr);
	int e = ifioctl(name, SIOCGIFHWADDR, ifr);
	if (e == 0)
		memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
	return e;
}

int netdev_set_enaddr(const std::string &name, const uint8_t mac[6])
{
	struct ifreq ifr;
	memset(&ifr, 0, sizeof ifr);
	ifr.ifr_hwaddr.sa_family = ARPHRD_ETHER;
	memcpy(ifr.ifr_hwaddr.sa_data, mac, 6);
	return ifioctl(name, SIOCSIFHWADDR, ifr);
}

int netdev_multi(const std::string &name, const uint8_t mac[6], bool join)
{
	struct ifreq ifr;
	memset(&ifr, 0, sizeof ifr);
	ifr.ifr_hwaddr.sa_family = AF_UNSPEC;
	memcpy(ifr.ifr_hwaddr.sa_data, mac, 6);
	return ifioctl(name, join ? SIOCADDMULTI : SIOCDELMULTI, ifr);
}

} // namespace ngsim
