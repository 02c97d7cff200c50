/*
 * The kernel daemon: one thread, one epoll loop over the listening socket,
 * the clients' connections and the descriptors node types watch (the
 * sockets of socket nodes, TAP and TUN devices).
 *
 * Connections and dispatch live in daemon.cc, the programs' protocol in
 * progs.cc, the admin protocol in admin.cc.
 */
#ifndef NGSIM_DAEMON_H
#define NGSIM_DAEMON_H

#include "kernel.h"
#include "proto.h"

#include <sys/types.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace ngsim {

/*
 * Serves kernel `k` (its network stacks already enabled) on the listening
 * socket `lfd`, bound at `path`, until halted.
 */
int run_kernel(Kernel &k, int lfd, const std::string &path);

class Daemon {
public:
	/* Bounds on what clients can make the kernel hold. */
	static constexpr size_t kMaxConns = 4096;
	static constexpr size_t kMaxConnsPerUser = 64;	/* other than root */
	static constexpr size_t kMaxQueued = 1 << 20;	/* unread answers, bytes */
	static constexpr size_t kMaxListenQueue = 4 << 20;
	static constexpr size_t kChunk = 65536;

	struct Conn {
		int		fd = -1;
		uid_t		uid = 0;
		pid_t		pid = 0;
		int		vnet = 0;
		bool		admin = false;	/* has made an admin request */
		ng_id		listen_iface = 0;	/* a wire listener */
		std::deque<std::string> out;	/* packets not yet taken */
		size_t		outbytes = 0;
	};

	Daemon(Kernel &k, int lfd, const std::string &path);
	int run();

	/* Sends one answer; fds travel with its first packet. */
	void respond(Conn &c, int error, int value, const void *p = nullptr,
	    size_t n = 0, const int *fds = nullptr, int nfds = 0);
	/* A frame on the wire of `ether` for its listeners. */
	void wire_out(Node &ether, const uint8_t *d, size_t n);

private:
	struct Watch {
		uint32_t	gen;
		std::function<void(uint32_t)> fn;
	};

	void watch(int fd, std::function<void(uint32_t)> fn);
	void unwatch(int fd);
	void set_interest(Conn &c);
	void accept_one();
	void conn_event(int fd, uint32_t ev);
	void close_conn(int fd);
	bool send_packet(Conn &c, const std::string &pkt, const int *fds,
	    int nfds);
	void flush(Conn &c);
	void request(Conn &c, const uint8_t *p, size_t n, int passed);

	/* progs.cc */
	void program_request(Conn &c, const ngsim_req &rq, const uint8_t *p,
	    size_t n, int passed);
	void op_mksock(Conn &c, const uint8_t *p, size_t n);
	void op_socket(Conn &c, const ngsim_req &rq, const uint8_t *p,
	    size_t n, int passed);

	/* admin.cc */
	void admin_request(Conn &c, const uint8_t *p, size_t n);

	Kernel &k_;
	int lfd_;
	std::string path_;
	int ep_ = -1;
	int spare_fd_ = -1;
	uint32_t next_gen_ = 0;
	std::map<int, Watch> watches_;
	std::map<int, std::unique_ptr<Conn>> conns_;
	std::map<uid_t, size_t> per_user_;
	bool halting_ = false;
};

} // namespace ngsim

#endif /* NGSIM_DAEMON_H */
