/*
 * The netgraph, kernel linker and jail calls against a fake kernel: a
 * SEQPACKET server on a private path that records each request (and the
 * socket passed with it) and answers as the test scripts it.
 */
#include <sys/types.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <sys/param.h>
#include <sys/linker.h>
#include <sys/module.h>
#include <sys/jail.h>

#include <errno.h>
#include <fcntl.h>
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

#ifndef SO_COOKIE
#define SO_COOKIE 57
#endif

namespace {

uint64_t
cookie_of(int fd)
{
	uint64_t c = 0;
	socklen_t len = sizeof(c);
	getsockopt(fd, SOL_SOCKET, SO_COOKIE, &c, &len);
	return c;
}

struct Request {
	uint32_t	op;
	std::string	payload;
	uint64_t	passed = 0;	/* SO_COOKIE of the socket passed, or 0 */
};

struct Answer {
	int32_t		error = 0;
	int32_t		value = 0;
	std::string	payload;
	std::vector<int> pass;		/* sent with SCM_RIGHTS, then closed */
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
	/* Every call comes on a connection of its own. */
	void serve()
	{
		for (;;) {
			int c = accept(lfd_, nullptr, nullptr);
			if (c < 0)
				return;
			std::vector<char> buf(NGSIM_MAX_PACKET);
			union {
				struct cmsghdr h;
				char space[CMSG_SPACE(sizeof(int))];
			} ctl;
			struct iovec iov = {buf.data(), buf.size()};
			struct msghdr mh = {};
			mh.msg_iov = &iov;
			mh.msg_iovlen = 1;
			mh.msg_control = ctl.space;
			mh.msg_controllen = sizeof(ctl.space);
			ssize_t n = recvmsg(c, &mh, 0);
			if (n >= static_cast<ssize_t>(sizeof(struct ngsim_req))) {
				Request rq;
				struct ngsim_req h;
				memcpy(&h, buf.data(), sizeof(h));
				rq.op = h.op;
				rq.payload.assign(buf.data() + sizeof(h), n - sizeof(h));
				EXPECT_EQ(h.len, rq.payload.size());
				struct cmsghdr *cm = CMSG_FIRSTHDR(&mh);
				if (cm != nullptr && cm->cmsg_type == SCM_RIGHTS) {
					int fd;
					memcpy(&fd, CMSG_DATA(cm), sizeof(fd));
					rq.passed = cookie_of(fd);
					close(fd);
				}
				{
					std::lock_guard<std::mutex> g(mu_);
					log_.push_back(rq);
				}
				respond(c, script_(rq));
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
			char space[CMSG_SPACE(sizeof(int) * 2)];
		} ctl;
		struct msghdr mh = {};
		mh.msg_iov = &iov;
		mh.msg_iovlen = 1;
		if (!a.pass.empty()) {
			mh.msg_control = ctl.space;
			mh.msg_controllen = CMSG_SPACE(sizeof(int) * a.pass.size());
			struct cmsghdr *cm = CMSG_FIRSTHDR(&mh);
			cm->cmsg_level = SOL_SOCKET;
			cm->cmsg_type = SCM_RIGHTS;
			cm->cmsg_len = CMSG_LEN(sizeof(int) * a.pass.size());
			memcpy(CMSG_DATA(cm), a.pass.data(), sizeof(int) * a.pass.size());
		}
		EXPECT_EQ(sendmsg(c, &mh, 0), static_cast<ssize_t>(pkt.size()));
		for (int fd : a.pass)
			close(fd);
	}

	static inline int counter_ = 0;
	char path_[108];
	int lfd_;
	Script script_;
	std::mutex mu_;
	std::vector<Request> log_;
	std::thread thread_;
};

std::string
str(const void *p, size_t n)
{
	return std::string(static_cast<const char *>(p), n);
}

/* A socket node as the fake makes it: the kernel's ends of both pairs. */
struct FakeNode {
	int ctl[2], data[2];
	FakeNode()
	{
		if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ctl) != 0 ||
		    socketpair(AF_UNIX, SOCK_SEQPACKET, 0, data) != 0)
			abort();
	}
	~FakeNode()
	{
		close(ctl[0]);
		close(data[0]);
	}
	/* The MKSOCK answer; each end goes to the process once. */
	Answer made(bool with_data)
	{
		Answer a;
		a.value = 0x2a;
		a.pass.push_back(ctl[1]);
		if (with_data)
			a.pass.push_back(data[1]);
		return a;
	}
	/* A message as the kernel pushes it on the control socket. */
	void push(int32_t error, const std::string &msg)
	{
		struct ngsim_ctlmsg h = {};
		h.error = error;
		strcpy(h.from, "[0000002a]:");
		std::string pkt = str(&h, sizeof(h)) + msg;
		ASSERT_EQ(send(ctl[0], pkt.data(), pkt.size(), 0),
		    (ssize_t)pkt.size());
	}
};

TEST(NgSendMsg, BuildsTheMessagePassesTheSocketAndReturnsItsToken)
{
	FakeNode node;
	int verdict = 0;
	FakeKernel k([&](const Request &rq) {
		if (rq.op == NGSIM_OP_MKSOCK)
			return node.made(false);
		Answer a;
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
	errno = EIO;
	int t1 = NgSendMsg(cs, "em0:", NGM_GENERIC_COOKIE, NGM_MKPEER, &mp,
	    sizeof(mp));
	ASSERT_GE(t1, 0);
	EXPECT_EQ(errno, 0) << "a success leaves errno clear";
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
	EXPECT_EQ(send.passed, cookie_of(cs)) << "the message names its node";
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
	close(cs);
}

TEST(NgMkSockNode, LoadsTheSocketTypeAndTriesAgain)
{
	FakeNode node;
	int mksocks = 0;
	FakeKernel k([&](const Request &rq) {
		Answer a;
		if (rq.op == NGSIM_OP_MKSOCK && mksocks++ == 0)
			a.error = EPROTONOSUPPORT;
		else if (rq.op == NGSIM_OP_MKSOCK)
			return node.made(true);
		else if (rq.op == NGSIM_OP_KLDLOAD)
			a.value = 4;
		return a;
	});
	int cs = -1, ds = -1;
	ASSERT_EQ(NgMkSockNode(nullptr, &cs, &ds), 0);
	EXPECT_EQ(fcntl(cs, F_GETFD), 0) << "open across exec, as sockets are";
	auto rq = k.requests();
	ASSERT_EQ(rq.size(), 3u);
	EXPECT_EQ(rq[0].op, (uint32_t)NGSIM_OP_MKSOCK);
	EXPECT_EQ(rq[1].op, (uint32_t)NGSIM_OP_KLDLOAD);
	EXPECT_EQ(rq[1].payload, std::string("ng_socket", 10));
	EXPECT_EQ(rq[2].op, (uint32_t)NGSIM_OP_MKSOCK);
	struct ngsim_mksock mk;
	memcpy(&mk, rq[2].payload.data(), sizeof(mk));
	EXPECT_EQ(mk.flags, (uint32_t)NGSIM_MKSOCK_DATA);
	EXPECT_EQ(mk.name[0], '\0');
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

TEST(NgData, ItemsComeRawAndGoThroughANamedHookWithTheVerdict)
{
	FakeNode node;
	int verdict = 0;
	FakeKernel k([&](const Request &rq) {
		if (rq.op == NGSIM_OP_MKSOCK)
			return node.made(true);
		Answer a;
		a.error = verdict;
		if (rq.op == NGSIM_OP_DATAHOOK)
			a.payload = std::string("source3", 8);
		return a;
	});
	int cs, ds;
	ASSERT_EQ(NgMkSockNode(nullptr, &cs, &ds), 0);

	/* What the kernel puts on the data socket is read as it is. */
	std::string big(NGSIM_MAX_ITEM, '\0');
	for (size_t i = 0; i < big.size(); i++)
		big[i] = static_cast<char>(i * 7);
	int sz = 2 * NGSIM_MAX_ITEM;
	ASSERT_EQ(setsockopt(node.data[0], SOL_SOCKET, SO_SNDBUF, &sz, sizeof(sz)), 0);
	ASSERT_EQ(send(node.data[0], big.data(), big.size(), 0), (ssize_t)big.size());
	std::string got(NGSIM_MAX_ITEM + 64, '\0');
	ASSERT_EQ(read(ds, got.data(), got.size()), (ssize_t)big.size());
	EXPECT_EQ(got.substr(0, big.size()), big);

	/* NgRecvData asks which hook the item came in on. */
	ASSERT_EQ(send(node.data[0], "item", 4, 0), 4);
	char hook[NG_HOOKSIZ];
	u_char small[16];
	ASSERT_EQ(NgRecvData(ds, small, sizeof(small), hook), 4);
	EXPECT_STREQ(hook, "source3");
	EXPECT_EQ(k.requests().back().passed, cookie_of(ds));

	/* Sending names the hook, passes the data socket, returns the verdict. */
	ASSERT_EQ(NgSendData(ds, "pcap", reinterpret_cast<const u_char *>("abc"),
	    3), 0);
	Request rq = k.requests().back();
	EXPECT_EQ(rq.op, (uint32_t)NGSIM_OP_SENDDATA);
	EXPECT_EQ(rq.passed, cookie_of(ds));
	EXPECT_EQ(rq.payload, std::string("pcap") + std::string(28, '\0') + "abc");
	for (int e : {EHOSTUNREACH, ENOBUFS}) {
		verdict = e;
		EXPECT_EQ(NgSendData(ds, "x", reinterpret_cast<const u_char *>("a"),
		    1), -1);
		EXPECT_EQ(errno, e);
	}
	close(cs);
	close(ds);
}

TEST(NgAllocRecvMsg, ReadsWhatWaitsOnTheControlSocket)
{
	FakeNode node;
	FakeKernel k([&](const Request &) { return node.made(false); });
	int cs;
	ASSERT_EQ(NgMkSockNode("r", &cs, nullptr), 0);
	struct ng_mesg m = {};
	m.header.version = NG_VERSION;
	m.header.arglen = 8;
	m.header.cmd = NGM_NODEINFO;
	m.header.flags = NGF_RESP;
	m.header.token = 9;
	std::string msg = str(&m, sizeof(m)) + "ABCDEFGH";
	node.push(0, msg);
	node.push(EIO, "");
	node.push(0, msg);
	node.push(0, msg);

	struct ng_mesg *rep = nullptr;
	char path[NG_PATHSIZ];
	ASSERT_EQ(NgAllocRecvMsg(cs, &rep, path), 56 + 8);
	EXPECT_STREQ(path, "[0000002a]:");
	EXPECT_EQ(rep->header.arglen, 8u);
	EXPECT_EQ(rep->header.token, 9u);
	EXPECT_EQ(rep->header.flags, (uint32_t)NGF_RESP);
	EXPECT_EQ(str(rep->data, 8), "ABCDEFGH");
	free(rep);

	/* A receive the kernel makes fail. */
	EXPECT_EQ(NgAllocRecvMsg(cs, &rep, nullptr), -1);
	EXPECT_EQ(errno, EIO);

	ASSERT_EQ(NgAllocRecvMsg(cs, &rep, nullptr), 64);
	free(rep);

	/* A short buffer keeps the front of the message. */
	union {
		struct ng_mesg m;
		char b[60];
	} small;
	EXPECT_EQ(NgRecvMsg(cs, &small.m, sizeof(small), nullptr), 60);
	EXPECT_EQ(str(small.m.data, 4), "ABCD");

	/* Nothing waits: a non-blocking socket says so. */
	fcntl(cs, F_SETFL, O_NONBLOCK);
	EXPECT_EQ(NgAllocRecvMsg(cs, &rep, nullptr), -1);
	EXPECT_EQ(errno, EAGAIN);
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
	EXPECT_EQ(k.requests().back().payload, std::string("ng_nothing", 11));
}

TEST(Jail, FailureCarriesTheKernelsMessageAndAttachingEntersTheNamespace)
{
	bool refuse = true;
	FakeKernel k([&](const Request &rq) {
		Answer a;
		if (rq.op == NGSIM_OP_JAIL_GETID && rq.payload == std::string("vj1", 4)) {
			a.value = 3;
		} else if (rq.op == NGSIM_OP_JAIL_GETID) {
			a.error = ENOENT;
			a.payload = "jail \"nope\" not found";
		} else if (rq.op == NGSIM_OP_JAIL_ATTACH && refuse) {
			a.error = EPERM;
		} else if (rq.op == NGSIM_OP_JAIL_ATTACH) {
			/* Our own namespace: entering it changes nothing. */
			a.pass.push_back(open("/proc/self/ns/net", O_RDONLY));
		}
		return a;
	});
	EXPECT_EQ(jail_getid("vj1"), 3);
	EXPECT_EQ(jail_getid("nope"), -1);
	EXPECT_EQ(errno, ENOENT);
	EXPECT_STREQ(jail_errmsg, "jail \"nope\" not found");
	EXPECT_EQ(jail_attach(3), -1);
	EXPECT_EQ(errno, EPERM);
	int32_t jid;
	memcpy(&jid, k.requests().back().payload.data(), 4);
	EXPECT_EQ(jid, 3);
	refuse = false;
	EXPECT_EQ(jail_attach(3), 0);
}

TEST(Jail, NoKernelIsAFailureWithAMessageAndOneWordOfAdvice)
{
	setenv(NGSIM_SOCKET_ENV, "/tmp/compat-no-such-kernel.sock", 1);
	testing::internal::CaptureStderr();
	jail_errmsg[0] = '\0';
	EXPECT_EQ(jail_getid("vj1"), -1);
	EXPECT_NE(jail_errmsg[0], '\0');
	EXPECT_EQ(kldnext(0), -1);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
	    "ngsim: no emulated kernel at /tmp/compat-no-such-kernel.sock; "
	    "start one with `ngsim kernel`\n");
	unsetenv(NGSIM_SOCKET_ENV);
}

} // namespace
