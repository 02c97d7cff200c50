/*
 * The Linux side of a vnet's network stack: setting up a fresh namespace,
 * and the TAP and TUN devices behind emulated interfaces. Each call acts on
 * the network namespace the calling thread is in.
 */
#ifndef NGSIM_NETDEV_H
#define NGSIM_NETDEV_H

#include <cstdint>
#include <string>

namespace ngsim {

/* Linux allows interface names of at most this many characters. */
constexpr size_t kMaxIfName = 15;

/*
 * A new namespace's stack: loopback up, and interfaces that stay quiet until
 * someone gives them addresses. 0, or an errno with a message in `err`.
 */
int netdev_setup_stack(std::string &err);

/*
 * Makes a TAP (Ethernet frames; `tun` false) or TUN (IP packets) device
 * called `name`, gives a TAP the Ethernet address 02:6e:67 followed by the
 * low 24 bits of `tag`, and brings it up. The device lives while the
 * returned descriptor (non-blocking, close-on-exec) is open. 0 or an errno.
 */
int netdev_open(const std::string &name, bool tun, uint32_t tag, int &fd);

/* Asking and telling an interface of the current namespace; 0 or an errno. */
int netdev_ifindex(const std::string &name, int &index);
int netdev_flags(const std::string &name, int &flags);	/* IFF_* */
int netdev_set_flag(const std::string &name, int flag, bool on);
int netdev_enaddr(const std::string &name, uint8_t mac[6]);
int netdev_set_enaddr(const std::string &name, const uint8_t mac[6]);
int netdev_multi(const std::string &name, const uint8_t mac[6], bool join);

} // namespace ngsim

#endif /* NGSIM_NETDEV_H */
