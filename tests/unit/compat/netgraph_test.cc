/*
 * The netgraph, kernel linker and jail calls against a fake kernel: a
 * SEQPACKET server on a private path that records each request and answers
 * as the test scripts it.
 */
#include <sys/types.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <sys/param.h>
#include <sys/linker.h>
#include <sys/module.h>
#include <sys/jail.h>

#include <errno.h>
#include <jail.h>
#include <netgraph.h>
#include <netgraph/ng_message.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "proto.h"

namespace {

struct Request {
	uint32_t	op;
	int32_t		pid;
	int		conn;		/* which connection, counted from 0 */
	std::string	payload;
};

struct Answer {
	int32_t		error = 0;
	int32_t		value = 0;
	std::string	payload;
	int		pass_fd = -1;	/* sent with SCM_RIGHTS, then closed */
};

class FakeKernel {
public:
	using Script = std::function<Answer(const Request &)>;

	explicit FakeKernel(Script script) : script_(std::move(script))
	{
		snprintf(path_, sizeof(path_), "/tmp/compat-fk-%d-%d.sock", getpid(),
		    counter_++);
		unlink(path_);
		lfd_ = socket(AF_UNIX, SOCK_SEQPACKET, 0);
		struct sockaddr_un sun = {};
		sun.sun_family = AF_UNIX;
		strcpy(sun.sun_path, path_);
		if (bind(lfd_, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)) != 0 ||
		    listen(lfd_, 8) != 0)
			abort();
		setenv(NGSIM_SOCKET_ENV, path_, 1);
		thread_ = std::thread([this] { serve(); });
	}
	~FakeKernel()
	{
		shutdown(lfd_, SHUT_RDWR);
		{
			/* A client that failed half way may still hold a connection. */
			std::lock_guard<std::mutex> g(mu_);
			stopping_ = true;
			if (cur_ >= 0)
				shutdown(cur_, SHUT_RDWR);
		}
		thread_.join();
		close(lfd_);
		unlink(path_);
		unsetenv(NGSIM_SOCKET_ENV);
	}
	std::vector<Request> requests()
	{
		std::lock_guard<std::mutex> g(mu_);
		return log_;
	}

private:
	/* One connection at a time, each until the client closes it. */
	void serve()
	{
		for (int conn = 0;; conn++) {
			int c = accept(lfd_, nullptr, nullptr);
			if (c < 0)
				return;
			{
				std::lock_guard<std::mutex> g(mu_);
				if (stopping_) {
					close(c);
					return;
				}
				cur_ = c;
			}
			std::vector<char> buf(NGSIM_MAX_PACKET);
			ssize_t n;
			while ((n = recv(c, buf.data(), buf.size(), 0)) > 0) {
				Request rq;
				struct ngsim_req h;
				memcpy(&h, buf.data(), sizeof(h));
				rq.op = h.op;
				rq.pid = h.pid;
				rq.conn = conn;
				rq.payload.assign(buf.data() + sizeof(h), n - sizeof(h));
				EXPECT_EQ(h.len, rq.payload.size());
				{
					std::lock_guard<std::mutex> g(mu_);
					log_.push_back(rq);
				}
				respond(c, script_(rq));
			}
			{
				std::lock_guard<std::mutex> g(mu_);
				cur_ = -1;
			}
			close(c);
		}
	}
	static void respond(int c, const Answer &a)
	{
		struct ngsim_rsp r = {};
		r.error = a.error;
		r.value = a.value;
		r.len = a.payload.size();
		std::string pkt(reinterpret_cast<char *>(&r), sizeof(r));
		pkt += a.payload;
		struct iovec iov = {const_cast<char *>(pkt.data()), pkt.size()};
		union {
			struct cmsghdr h;
			char space[CMSG_SPACE(sizeof(int))];
		} ctl;
		struct msghdr mh = {};
		mh.msg_iov = &iov;
		mh.msg_iovlen = 1;
		if (a.pass_fd >= 0) {
			mh.msg_control = ctl.space;
			mh.msg_controllen = sizeof(ctl.space);
			struct cmsghdr *cm = CMSG_FIRSTHDR(&mh);
			cm->cmsg_level = SOL_SOCKET;
			cm->cmsg_type = SCM_RIGHTS;
			cm->cmsg_len = CMSG_LEN(sizeof(int));
			memcpy(CMSG_DATA(cm), &a.pass_fd, sizeof(int));
		}
		EXPECT_EQ(sendmsg(c, &mh, 0), static_cast<ssize_t>(pkt.size()));
		if (a.pass_fd >= 0)
			close(a.pass_fd);
	}

	static inline int counter_ = 0;
	char path_[108];
	int lfd_;
	Script script_;
	std::mutex mu_;
	std::vector<Request> log_;
	int cur_ = -1;
	bool stopping_ = false;
	std::thread thread_;
};

std::string
str(const void *p, size_t n)
{
	return std::string(static_cast<const char *>(p), n);
}

TEST(NgSendMsg, BuildsTheMessageAndReturnsItsToken)
{
	int verdict = 0;
	FakeKernel k([&](const Request &rq) {
		Answer a;
		if (rq.op == NGSIM_OP_MKSOCK)
			return a;
		struct ng_mesg m;
		memcpy(&m, rq.payload.data() + sizeof(struct ngsim_sendmsg), sizeof(m));
		a.error = verdict;
		a.value = m.header.token;
		return a;
	});
	int cs;
	ASSERT_EQ(NgMkSockNode("ngctl42", &cs, nullptr), 0);

	struct ngm_mkpeer mp = {};
	strcpy(mp.type, "pcap");
	strcpy(mp.ourhook, "lower");
	strcpy(mp.peerhook, "source0");
	int t1 = NgSendMsg(cs, "em0:", NGM_GENERIC_COOKIE, NGM_MKPEER, &mp,
	    sizeof(mp));
	ASSERT_GE(t1, 0);
	int t2 = NgSendMsg(cs, "[0000002a]:", NGM_GENERIC_COOKIE, NGM_SHUTDOWN,
	    nullptr, 0);
	ASSERT_GE(t2, 0);
	EXPECT_NE(t1, t2);

	verdict = NGSIM_EDOOFUS;
	EXPECT_EQ(NgSendMsg(cs, "a:", 1742462349, 1, "x", 2), -1);
	EXPECT_EQ(errno, EDOOFUS);
	verdict = EADDRINUSE;
	EXPECT_EQ(NgNameNode(cs, "[2a]:", "wh%d", 7), -1);
	EXPECT_EQ(errno, EADDRINUSE);
	close(cs);

	auto rq = k.requests();
	ASSERT_EQ(rq.size(), 5u);
	struct ngsim_mksock mk;
	ASSERT_EQ(rq[0].op, (uint32_t)NGSIM_OP_MKSOCK);
	ASSERT_EQ(rq[0].payload.size(), sizeof(mk));
	memcpy(&mk, rq[0].payload.data(), sizeof(mk));
	EXPECT_STREQ(mk.name, "ngctl42");
	EXPECT_EQ(mk.flags, 0u);

	const Request &send = rq[1];
	EXPECT_EQ(send.op, (uint32_t)NGSIM_OP_SENDMSG);
	EXPECT_EQ(send.pid, getpid());
	EXPECT_EQ(send.conn, 0);	/* the control socket is the connection */
	ASSERT_EQ(send.payload.size(), 512 + 56 + sizeof(mp));
	struct ngsim_sendmsg dest;
	memcpy(&dest, send.payload.data(), sizeof(dest));
	EXPECT_EQ(str(dest.path, sizeof(dest.path)),
	    std::string("em0:") + std::string(508, '\0'));
	const unsigned char *h = reinterpret_cast<const unsigned char *>(
	    send.payload.data() + 512);
	EXPECT_EQ(h[0], NG_VERSION);
	EXPECT_EQ(h[1], 0);
	uint32_t w[5];
	memcpy(w, h + 4, sizeof(w));
	EXPECT_EQ(w[0], sizeof(mp));			/* arglen */
	EXPECT_EQ(w[1], (uint32_t)NGM_MKPEER);		/* cmd */
	EXPECT_EQ(w[2], (uint32_t)NGF_ORIG);		/* flags */
	EXPECT_EQ(w[3], (uint32_t)t1);			/* token */
	EXPECT_EQ(w[4], (uint32_t)NGM_GENERIC_COOKIE);
	EXPECT_EQ(str(h + 24, 32), std::string(32, '\0'));	/* cmdstr */
	EXPECT_EQ(send.payload.substr(512 + 56), str(&mp, sizeof(mp)));

	/* No argument, no argument bytes. */
	EXPECT_EQ(rq[2].payload.size(), 512u + 56u);

	/* NgNameNode is NGM_NAME with a 32-byte ngm_name. */
	ASSERT_EQ(rq[4].payload.size(), 512u + 56u + 32u);
	memcpy(w, rq[4].payload.data() + 512 + 4, sizeof(w));
	EXPECT_EQ(w[1], (uint32_t)NGM_NAME);
	EXPECT_EQ(rq[4].payload.substr(512 + 56), std::string("wh7") +
	    std::string(29, '\0'));
}

TEST(NgMkSockNode, LoadsTheSocketTypeAndTriesAgain)
{
	int mksocks = 0;
	int pair[2];
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
	FakeKernel k([&](const Request &rq) {
		Answer a;
		if (rq.op == NGSIM_OP_MKSOCK && mksocks++ == 0) {
			a.error = EPROTONOSUPPORT;
		} else if (rq.op == NGSIM_OP_MKSOCK) {
			a.value = 0x2a;
			a.pass_fd = pair[1];
		} else if (rq.op == NGSIM_OP_KLDLOAD) {
			a.value = 4;
		}
		return a;
	});
	int cs = -1, ds = -1;
	ASSERT_EQ(NgMkSockNode(nullptr, &cs, &ds), 0);
	auto rq = k.requests();
	ASSERT_EQ(rq.size(), 3u);
	EXPECT_EQ(rq[0].op, (uint32_t)NGSIM_OP_MKSOCK);
	EXPECT_EQ(rq[1].op, (uint32_t)NGSIM_OP_KLDLOAD);
	EXPECT_EQ(rq[1].payload, std::string("ng_socket", 10));
	EXPECT_EQ(rq[2].op, (uint32_t)NGSIM_OP_MKSOCK);
	EXPECT_EQ(rq[2].conn, 2);
	struct ngsim_mksock mk;
	memcpy(&mk, rq[2].payload.data(), sizeof(mk));
	EXPECT_EQ(mk.flags, (uint32_t)NGSIM_MKSOCK_DATA);
	EXPECT_EQ(mk.name[0], '\0');

	/* The data socket is the kernel's descriptor: items pass both ways whole. */
	std::string big(NGSIM_MAX_ITEM, '\0');
	for (size_t i = 0; i < big.size(); i++)
		big[i] = static_cast<char>(i * 7);
	int sz = 2 * NGSIM_MAX_ITEM;
	ASSERT_EQ(setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &sz, sizeof(sz)), 0);
	ASSERT_EQ(send(pair[0], big.data(), big.size(), 0), (ssize_t)big.size());
	std::string got(NGSIM_MAX_ITEM + 64, '\0');
	ASSERT_EQ(read(ds, got.data(), got.size()), (ssize_t)big.size());
	EXPECT_EQ(got.substr(0, big.size()), big);

	ASSERT_EQ(NgSendData(ds, "pcap", reinterpret_cast<const u_char *>(big.data()),
	    big.size()), 0);
	ASSERT_EQ(recv(pair[0], got.data(), got.size(), 0),
	    (ssize_t)(32 + big.size()));
	EXPECT_EQ(got.substr(0, 32), std::string("pcap") + std::string(28, '\0'));
	EXPECT_EQ(got.substr(32, big.size()), big);
	close(pair[0]);
	close(cs);
	close(ds);
}

TEST(NgMkSockNode, RefusedLoadFailsWithItsError)
{
	FakeKernel k([](const Request &rq) {
		Answer a;
		a.error = rq.op == NGSIM_OP_MKSOCK ? EPROTONOSUPPORT : EPERM;
		return a;
	});
	int cs = -1, ds = -1;
	EXPECT_EQ(NgMkSockNode("x", &cs, &ds), -1);
	EXPECT_EQ(errno, EPERM);
	EXPECT_EQ(cs, -1);
	auto rq = k.requests();
	ASSERT_EQ(rq.size(), 2u);
	EXPECT_EQ(rq[1].op, (uint32_t)NGSIM_OP_KLDLOAD);

	/* A name that does not fit the node name field never reaches the kernel. */
	EXPECT_EQ(NgMkSockNode(std::string(32, 'n').c_str(), &cs, nullptr), -1);
	EXPECT_EQ(errno, EINVAL);
	EXPECT_EQ(k.requests().size(), 2u);
}

TEST(NgAllocRecvMsg, ReturnsTheWholeReplyAndItsSender)
{
	FakeKernel k([](const Request &rq) {
		Answer a;
		if (rq.op != NGSIM_OP_RECVMSG)
			return a;
		struct ngsim_recvmsg from = {};
		strcpy(from.path, "[0000002a]:");
		struct ng_mesg m = {};
		m.header.version = NG_VERSION;
		m.header.arglen = 8;
		m.header.cmd = NGM_NODEINFO;
		m.header.flags = NGF_RESP;
		m.header.token = 9;
		a.payload = str(&from, sizeof(from)) + str(&m, sizeof(m)) + "ABCDEFGH";
		return a;
	});
	int cs;
	ASSERT_EQ(NgMkSockNode("r", &cs, nullptr), 0);
	struct ng_mesg *rep = nullptr;
	char path[NG_PATHSIZ];
	ASSERT_EQ(NgAllocRecvMsg(cs, &rep, path), 56 + 8);
	EXPECT_STREQ(path, "[0000002a]:");
	EXPECT_EQ(rep->header.arglen, 8u);
	EXPECT_EQ(rep->header.token, 9u);
	EXPECT_EQ(rep->header.flags, (uint32_t)NGF_RESP);
	EXPECT_EQ(str(rep->data, 8), "ABCDEFGH");
	free(rep);

	ASSERT_EQ(NgAllocRecvMsg(cs, &rep, nullptr), 64);
	free(rep);

	/* A short buffer keeps the front of the message. */
	union {
		struct ng_mesg m;
		char b[60];
	} small;
	EXPECT_EQ(NgRecvMsg(cs, &small.m, sizeof(small), nullptr), 60);
	EXPECT_EQ(str(small.m.data, 4), "ABCD");
	close(cs);
}

TEST(KernelLinker, WalksAndDescribesModules)
{
	FakeKernel k([](const Request &rq) {
		Answer a;
		int32_t id = 0;
		if (rq.payload.size() == 4)
			memcpy(&id, rq.payload.data(), 4);
		switch (rq.op) {
		case NGSIM_OP_KLDNEXT:
			a.value = id == 0 ? 1 : 0;
			break;
		case NGSIM_OP_MODSTAT: {
			struct ngsim_modstat ms = {};
			strcpy(ms.name, "pci/ng_ether");
			ms.refs = 2;
			ms.id = id;
			a.payload = str(&ms, sizeof(ms));
			break;
		}
		case NGSIM_OP_KLDLOAD:
			a.error = ENOENT;
			break;
		}
		return a;
	});
	EXPECT_EQ(kldnext(0), 1);
	EXPECT_EQ(kldnext(1), 0);

	struct module_stat st;
	memset(&st, 0x55, sizeof(st));
	st.version = sizeof(st);
	ASSERT_EQ(modstat(6, &st), 0);
	EXPECT_STREQ(st.name, "pci/ng_ether");
	EXPECT_EQ(st.refs, 2);
	EXPECT_EQ(st.id, 6);

	size_t asked = k.requests().size();
	st.version = 12;
	EXPECT_EQ(modstat(6, &st), -1);
	EXPECT_EQ(errno, EINVAL);
	EXPECT_EQ(k.requests().size(), asked);

	EXPECT_EQ(kldload("ng_nothing"), -1);
	EXPECT_EQ(errno, ENOENT);
	auto rq = k.requests();
	EXPECT_EQ(rq.back().payload, std::string("ng_nothing", 11));
	/* Every call is a connection of its own. */
	EXPECT_EQ(rq.back().conn, (int)rq.size() - 1);
}

TEST(Jail, FailureCarriesTheKernelsMessage)
{
	FakeKernel k([](const Request &rq) {
		Answer a;
		if (rq.op == NGSIM_OP_JAIL_GETID && rq.payload == std::string("vj1", 4)) {
			a.value = 3;
		} else if (rq.op == NGSIM_OP_JAIL_GETID) {
			a.error = ENOENT;
			a.payload = "jail \"nope\" not found";
		} else if (rq.op == NGSIM_OP_JAIL_ATTACH) {
			a.error = EPERM;
		}
		return a;
	});
	EXPECT_EQ(jail_getid("vj1"), 3);
	EXPECT_EQ(jail_getid("nope"), -1);
	EXPECT_EQ(errno, ENOENT);
	EXPECT_STREQ(jail_errmsg, "jail \"nope\" not found");
	EXPECT_EQ(jail_attach(3), -1);
	EXPECT_EQ(errno, EPERM);
	auto rq = k.requests();
	int32_t jid;
	memcpy(&jid, rq.back().payload.data(), 4);
	EXPECT_EQ(jid, 3);
}

TEST(Jail, NoKernelIsAFailureWithAMessage)
{
	setenv(NGSIM_SOCKET_ENV, "/tmp/compat-no-such-kernel.sock", 1);
	jail_errmsg[0] = '\0';
	EXPECT_EQ(jail_getid("vj1"), -1);
	EXPECT_NE(jail_errmsg[0], '\0');
	EXPECT_EQ(kldnext(0), -1);
	unsetenv(NGSIM_SOCKET_ENV);
}

} // namespace
