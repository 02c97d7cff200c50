/*
 * ng_socket(4): the programs' own nodes.
 *
 * The kernel's side of a socket node holds its ends of the two socket pairs
 * whose other ends the process has (proto.h): on the control socket it
 * pushes the replies and messages the node receives, on the data socket the
 * items that arrive on its hooks. Items count against net.graph.recvspace,
 * as read when the node was made: an item that does not fit is dropped whole
 * and its sender told ENOBUFS; the kernel never waits for a reader.
 */
#ifndef NGSIM_TYPES_SOCKET_H
#define NGSIM_TYPES_SOCKET_H

#include "../node.h"

#include <cstdint>
#include <string>

namespace ngsim {

/* The node of a socket the process holds, by the socket's SO_COOKIE. */
struct SockRef {
	ng_id	node = 0;	/* 0: no node's */
	bool	data = false;	/* the data socket, else the control socket */
};
SockRef socket_by_cookie(uint64_t cookie);

/*
 * Makes the socket pairs of socket node `n` and hands back the process's
 * ends (close-on-exec clear, as sockets are); `dfd` only when `data`.
 * 0 or an errno.
 */
int socket_open(Node &n, bool data, int &cfd, int &dfd);

/* NGSIM_OP_SENDDATA from the process: the verdict. */
int socket_send(KernelApi &k, Node &n, const std::string &hook,
    const uint8_t *d, size_t len);
/* NGSIM_OP_DATAHOOK: the hook of the item last read. */
std::string socket_last_hook(Node &n);
/* NGSIM_OP_SOCKNAME: the node's struct sockaddr_ng. */
std::string socket_name(Node &n);

} // namespace ngsim

#endif /* NGSIM_TYPES_SOCKET_H */
