#include <sys/types.h>
#include <sys/event.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

namespace {

const struct timespec kPoll = {0, 0};

struct kevent
change(int fd, short filter, unsigned short flags, void *udata = nullptr)
{
	struct kevent kev;
	EV_SET(&kev, fd, filter, flags, 0, 0, udata);
	return kev;
}

class Kq : public ::testing::Test {
protected:
	void SetUp() override
	{
		kq = kqueue();
		ASSERT_GE(kq, 0);
		ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
	}
	void TearDown() override
	{
		close(kq);
		if (sv[0] >= 0)
			close(sv[0]);
		if (sv[1] >= 0)
			close(sv[1]);
	}
	/* Apply one change without waiting; returns kevent's result. */
	int apply(const struct kevent &c)
	{
		return kevent(kq, &c, 1, nullptr, 0, nullptr);
	}
	int poll_events(struct kevent *out, int n, const struct timespec *t = &kPoll)
	{
		return kevent(kq, nullptr, 0, out, n, t);
	}
	void send_bytes(size_t n)
	{
		char buf[256];
		memset(buf, 'x', sizeof(buf));
		ASSERT_EQ(write(sv[1], buf, n), static_cast<ssize_t>(n));
	}

	int kq = -1;
	int sv[2] = {-1, -1};
	int tag = 0;
};

TEST(KeventLayout, RecordIsFreeBSDs)
{
	struct kevent kev;
	memset(&kev, 0xff, sizeof(kev));
	EV_SET(&kev, 7, EVFILT_READ, EV_ADD | EV_CLEAR, 3, 9, &kev);
	EXPECT_EQ(sizeof(kev), 64u);
	EXPECT_EQ(offsetof(struct kevent, filter), 8u);
	EXPECT_EQ(offsetof(struct kevent, data), 16u);
	EXPECT_EQ(offsetof(struct kevent, udata), 24u);
	EXPECT_EQ(offsetof(struct kevent, ext), 32u);
	EXPECT_EQ(kev.ident, 7u);
	EXPECT_EQ(kev.filter, EVFILT_READ);
	EXPECT_EQ(kev.flags, EV_ADD | EV_CLEAR);
	EXPECT_EQ(kev.fflags, 3u);
	EXPECT_EQ(kev.data, 9);
	EXPECT_EQ(kev.udata, &kev);
	for (uint64_t e : kev.ext)
		EXPECT_EQ(e, 0u);
}

TEST_F(Kq, AddedDisabledStaysSilentUntilEnabled)
{
	send_bytes(10);
	ASSERT_EQ(apply(change(sv[0], EVFILT_READ, EV_ADD | EV_DISABLE, &tag)), 0);
	struct kevent ev[2];
	EXPECT_EQ(poll_events(ev, 2), 0);

	ASSERT_EQ(apply(change(sv[0], EVFILT_READ, EV_ENABLE, &tag)), 0);
	ASSERT_EQ(poll_events(ev, 2), 1);
	EXPECT_EQ(ev[0].ident, static_cast<uintptr_t>(sv[0]));
	EXPECT_EQ(ev[0].filter, EVFILT_READ);
	EXPECT_EQ(ev[0].data, 10);
	EXPECT_EQ(ev[0].udata, &tag);
	EXPECT_EQ(ev[0].flags & (EV_EOF | EV_ERROR), 0);
}

TEST_F(Kq, EnableAndDisableTogetherEnable)
{
	send_bytes(1);
	ASSERT_EQ(apply(change(sv[0], EVFILT_READ, EV_ADD | EV_DISABLE)), 0);
	ASSERT_EQ(apply(change(sv[0], EVFILT_READ, EV_ENABLE | EV_DISABLE)), 0);
	struct kevent ev[1];
	EXPECT_EQ(poll_events(ev, 1), 1);

	/* Also when both come with the addition itself. */
	ASSERT_EQ(apply(change(sv[0], EVFILT_WRITE,
	    EV_ADD | EV_ENABLE | EV_DISABLE)), 0);
	struct kevent two[2];
	EXPECT_EQ(poll_events(two, 2), 2);
}

TEST_F(Kq, DispatchReportsOnceUntilEnabledAgain)
{
	send_bytes(5);
	ASSERT_EQ(apply(change(sv[0], EVFILT_READ, EV_ADD | EV_DISPATCH)), 0);
	struct kevent ev[1];
	ASSERT_EQ(poll_events(ev, 1), 1);
	EXPECT_TRUE(ev[0].flags & EV_DISPATCH);
	/* The bytes are still there, but the filter is disabled. */
	EXPECT_EQ(poll_events(ev, 1), 0);
	EXPECT_EQ(poll_events(ev, 1), 0);

	ASSERT_EQ(apply(change(sv[0], EVFILT_READ, EV_ENABLE)), 0);
	ASSERT_EQ(poll_events(ev, 1), 1);
	EXPECT_EQ(ev[0].data, 5);
	EXPECT_EQ(poll_events(ev, 1), 0);
}

/*
 * The capture loop's pattern: plain EV_ADD first, then every wait re-arms
 * with EV_ENABLE | EV_DISPATCH in the same call; a filter not re-armed in a
 * pass must not be reported in it.
 */
TEST_F(Kq, ArmingChangesRideOnTheWait)
{
	struct kevent ch[2] = {
		change(sv[0], EVFILT_READ, EV_ADD, &tag),
		change(sv[0], EVFILT_WRITE, EV_ADD, &kq),
	};
	ASSERT_EQ(kevent(kq, ch, 2, nullptr, 0, nullptr), 0);
	ch[0].flags = EV_ENABLE | EV_DISPATCH;
	ch[1].flags = EV_ENABLE | EV_DISPATCH;

	/* Both armed: only the writable one is ready. */
	struct kevent ev[2];
	ASSERT_EQ(kevent(kq, ch, 2, ev, 2, nullptr), 1);
	EXPECT_EQ(ev[0].filter, EVFILT_WRITE);
	EXPECT_EQ(ev[0].udata, &kq);
	EXPECT_GT(ev[0].data, 0);

	/* Only the read change passed: writability is not reported any more. */
	send_bytes(3);
	ASSERT_EQ(kevent(kq, ch, 1, ev, 2, nullptr), 1);
	EXPECT_EQ(ev[0].filter, EVFILT_READ);
	EXPECT_EQ(ev[0].udata, &tag);
	EXPECT_EQ(ev[0].data, 3);
	EXPECT_EQ(kevent(kq, nullptr, 0, ev, 2, &kPoll), 0);
}

TEST_F(Kq, BothFiltersOnOneSocket)
{
	send_bytes(4);
	struct kevent ch[2] = {
		change(sv[0], EVFILT_READ, EV_ADD),
		change(sv[0], EVFILT_WRITE, EV_ADD),
	};
	struct kevent ev[4];
	ASSERT_EQ(kevent(kq, ch, 2, ev, 4, &kPoll), 2);
	bool rd = false, wr = false;
	for (int i = 0; i < 2; i++) {
		rd |= ev[i].filter == EVFILT_READ && ev[i].data == 4;
		wr |= ev[i].filter == EVFILT_WRITE && ev[i].data > 0;
	}
	EXPECT_TRUE(rd);
	EXPECT_TRUE(wr);

	/* Dropping one leaves the other registered on the same descriptor. */
	ASSERT_EQ(apply(change(sv[0], EVFILT_WRITE, EV_DELETE)), 0);
	ASSERT_EQ(poll_events(ev, 4), 1);
	EXPECT_EQ(ev[0].filter, EVFILT_READ);
	ASSERT_EQ(apply(change(sv[0], EVFILT_READ, EV_DISABLE)), 0);
	EXPECT_EQ(poll_events(ev, 4), 0);
	ASSERT_EQ(apply(change(sv[0], EVFILT_WRITE, EV_ADD)), 0);
	ASSERT_EQ(poll_events(ev, 4), 1);
	EXPECT_EQ(ev[0].filter, EVFILT_WRITE);
}

TEST_F(Kq, EofWhenThePeerCloses)
{
	ASSERT_EQ(apply(change(sv[0], EVFILT_READ, EV_ADD)), 0);
	struct kevent ev[1];
	EXPECT_EQ(poll_events(ev, 1), 0);
	send_bytes(2);
	close(sv[1]);
	sv[1] = -1;
	ASSERT_EQ(poll_events(ev, 1), 1);
	EXPECT_TRUE(ev[0].flags & EV_EOF);
	EXPECT_EQ(ev[0].data, 2);
}

TEST_F(Kq, OneshotIsDeletedAfterItsReport)
{
	send_bytes(1);
	ASSERT_EQ(apply(change(sv[0], EVFILT_READ, EV_ADD | EV_ONESHOT)), 0);
	struct kevent ev[1];
	ASSERT_EQ(poll_events(ev, 1), 1);
	EXPECT_EQ(poll_events(ev, 1), 0);
	EXPECT_EQ(apply(change(sv[0], EVFILT_READ, EV_ENABLE)), -1);
	EXPECT_EQ(errno, ENOENT);
}

TEST_F(Kq, ClearReportsOnlyNewArrivals)
{
	send_bytes(1);
	ASSERT_EQ(apply(change(sv[0], EVFILT_READ, EV_ADD | EV_CLEAR)), 0);
	struct kevent ev[1];
	ASSERT_EQ(poll_events(ev, 1), 1);
	EXPECT_EQ(poll_events(ev, 1), 0);
	send_bytes(1);
	ASSERT_EQ(poll_events(ev, 1), 1);
	EXPECT_EQ(ev[0].data, 2);
}

TEST_F(Kq, ChangeErrorsAreReportedAsFreeBSDDoes)
{
	struct kevent ch[3] = {
		change(sv[0], EVFILT_READ, EV_ENABLE),		/* never added */
		change(sv[0], EVFILT_WRITE, EV_ADD | EV_RECEIPT),
		change(999, EVFILT_READ, EV_ADD),		/* not open */
	};
	struct kevent ev[4];
	ASSERT_EQ(kevent(kq, ch, 3, ev, 4, nullptr), 3);
	EXPECT_EQ(ev[0].flags, EV_ERROR);
	EXPECT_EQ(ev[0].data, ENOENT);
	EXPECT_EQ(ev[0].ident, static_cast<uintptr_t>(sv[0]));
	EXPECT_EQ(ev[1].flags, EV_ERROR);
	EXPECT_EQ(ev[1].data, 0);
	EXPECT_EQ(ev[2].data, EBADF);

	/* Without room for the answer the call itself fails. */
	struct kevent bad = change(sv[0], 42, EV_ADD);
	EXPECT_EQ(kevent(kq, &bad, 1, nullptr, 0, nullptr), -1);
	EXPECT_EQ(errno, EINVAL);
	struct kevent gone = change(sv[1], EVFILT_READ, EV_DELETE);
	EXPECT_EQ(kevent(kq, &gone, 1, nullptr, 0, nullptr), -1);
	EXPECT_EQ(errno, ENOENT);

	/* The receipted write filter was added nevertheless. */
	ASSERT_EQ(poll_events(ev, 4), 1);
	EXPECT_EQ(ev[0].filter, EVFILT_WRITE);
}

TEST_F(Kq, RegularFileIsReadyByItsOffset)
{
	char path[] = "/tmp/compat-kq-XXXXXX";
	int f = mkstemp(path);
	ASSERT_GE(f, 0);
	unlink(path);
	ASSERT_EQ(write(f, "0123456789", 10), 10);
	ASSERT_EQ(lseek(f, 4, SEEK_SET), 4);

	struct kevent ch[2] = {
		change(f, EVFILT_READ, EV_ADD),
		change(f, EVFILT_WRITE, EV_ADD),
	};
	struct kevent ev[4];
	ASSERT_EQ(kevent(kq, ch, 2, ev, 4, &kPoll), 2);
	for (int i = 0; i < 2; i++) {
		if (ev[i].filter == EVFILT_READ)
			EXPECT_EQ(ev[i].data, 6);
		else
			EXPECT_GT(ev[i].data, 0);
	}
	EXPECT_NE(ev[0].filter, ev[1].filter);

	/* At the end of the file only writing is ready. */
	ASSERT_EQ(lseek(f, 0, SEEK_END), 10);
	ASSERT_EQ(kevent(kq, nullptr, 0, ev, 4, &kPoll), 1);
	EXPECT_EQ(ev[0].filter, EVFILT_WRITE);

	/* A file that grows while the reader waits becomes readable. */
	ASSERT_EQ(apply(change(f, EVFILT_WRITE, EV_DELETE)), 0);
	std::thread grow([f] {
		std::this_thread::sleep_for(std::chrono::milliseconds(30));
		(void)pwrite(f, "ab", 2, 10);
	});
	struct timespec second = {2, 0};
	ASSERT_EQ(kevent(kq, nullptr, 0, ev, 4, &second), 1);
	grow.join();
	EXPECT_EQ(ev[0].filter, EVFILT_READ);
	EXPECT_EQ(ev[0].data, 2);
	close(f);
}

/*
 * The devices whose FreeBSD driver has no kqueue filter are refused at
 * registration, for either filter; a terminal is taken.
 */
TEST_F(Kq, DevicesWithoutAFilterAreRefusedTerminalsTaken)
{
	for (const char *dev : {"/dev/null", "/dev/zero", "/dev/full"}) {
		int fd = open(dev, O_RDWR);
		ASSERT_GE(fd, 0) << dev;
		for (short filter : {short(EVFILT_READ), short(EVFILT_WRITE)}) {
			EXPECT_EQ(apply(change(fd, filter, EV_ADD)), -1) << dev;
			EXPECT_EQ(errno, ENODEV) << dev;
		}
		close(fd);
	}

	int pty = posix_openpt(O_RDWR | O_NOCTTY);
	ASSERT_GE(pty, 0);
	ASSERT_EQ(grantpt(pty), 0);
	ASSERT_EQ(unlockpt(pty), 0);
	int tty = open(ptsname(pty), O_RDWR | O_NOCTTY);
	ASSERT_GE(tty, 0);
	ASSERT_EQ(apply(change(tty, EVFILT_WRITE, EV_ADD)), 0);
	struct kevent ev[1];
	EXPECT_EQ(poll_events(ev, 1), 1);
	close(tty);
	close(pty);
}

void
on_alarm(int)
{
}

TEST_F(Kq, SignalInterruptsTheWait)
{
	struct sigaction sa, old;
	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = on_alarm;
	sa.sa_flags = 0;	/* no SA_RESTART */
	ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
	struct itimerval it = {{0, 0}, {0, 50000}};
	ASSERT_EQ(setitimer(ITIMER_REAL, &it, nullptr), 0);

	ASSERT_EQ(apply(change(sv[0], EVFILT_READ, EV_ADD)), 0);
	struct kevent ev[1];
	EXPECT_EQ(kevent(kq, nullptr, 0, ev, 1, nullptr), -1);
	EXPECT_EQ(errno, EINTR);
	sigaction(SIGALRM, &old, nullptr);
}

TEST_F(Kq, TimeoutsBoundTheWait)
{
	ASSERT_EQ(apply(change(sv[0], EVFILT_READ, EV_ADD)), 0);
	struct kevent ev[1];
	auto t0 = std::chrono::steady_clock::now();
	EXPECT_EQ(poll_events(ev, 1), 0);
	struct timespec fifty = {0, 50000000};
	EXPECT_EQ(poll_events(ev, 1, &fifty), 0);
	auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
	    std::chrono::steady_clock::now() - t0).count();
	EXPECT_GE(ms, 50);
	EXPECT_LT(ms, 1000);

	/* Waiting without a time-out ends when something arrives. */
	std::thread later([this] {
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
		(void)write(sv[1], "z", 1);
	});
	EXPECT_EQ(kevent(kq, nullptr, 0, ev, 1, nullptr), 1);
	later.join();
}

TEST(KqueueState, ReusedNumberStartsEmpty)
{
	int sv[2];
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
	int kq = kqueue();
	ASSERT_GE(kq, 0);
	struct kevent c = change(sv[0], EVFILT_WRITE, EV_ADD);
	ASSERT_EQ(kevent(kq, &c, 1, nullptr, 0, nullptr), 0);
	close(kq);

	int again = kqueue();
	ASSERT_EQ(again, kq);
	c.flags = EV_ENABLE;
	EXPECT_EQ(kevent(again, &c, 1, nullptr, 0, nullptr), -1);
	EXPECT_EQ(errno, ENOENT);
	struct kevent ev[1];
	EXPECT_EQ(kevent(again, nullptr, 0, ev, 1, &kPoll), 0);
	close(again);
	close(sv[0]);
	close(sv[1]);

	EXPECT_EQ(kevent(12345, nullptr, 0, nullptr, 0, nullptr), -1);
	EXPECT_EQ(errno, EBADF);
}

} // namespace
