/*
 * kqueue(2) on epoll. A kqueue is an epoll descriptor plus the filters
 * registered on it, kept in this process and keyed by that descriptor.
 *
 * Each descriptor has at most one epoll registration whose mask is the union
 * of its enabled filters, recomputed on every change. A filter that a report
 * disables (EV_DISPATCH, EV_ONESHOT) leaves the registration as it is until
 * epoll next speaks of it: a loop that arms its filters again before every
 * wait, as a kqueue loop does, then costs one epoll_wait per kevent call and
 * no epoll_ctl. Descriptors that epoll refuses (regular files) are answered
 * from their state instead: always writable, readable while the offset is
 * before the end. The character devices whose FreeBSD driver has no kqueue
 * filter (null(4), zero(4), full(4)) are refused with ENODEV, as FreeBSD's
 * devfs refuses them; terminals, pipes and sockets are taken.
 */
#include <sys/types.h>
#include <sys/epoll.h>
#include <sys/event.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/sockios.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace {

constexpr unsigned short kModeFlags = EV_ONESHOT | EV_CLEAR | EV_DISPATCH;
/* What a write filter reports as room when the host cannot tell. */
constexpr int64_t kUnknownRoom = 65536;
/* How often a file that is read to its end is looked at again. */
constexpr int kFileRecheckMs = 10;

struct knote {
	int		fd;
	short		filter;
	unsigned short	modes;		/* EV_ONESHOT, EV_CLEAR, EV_DISPATCH */
	unsigned int	fflags;
	int64_t		sdata;
	void		*udata;
	bool		enabled;
};

enum fdkind { KIND_UNKNOWN, KIND_SOCKET, KIND_FIFO, KIND_OTHER };

struct fdreg {
	bool		passive;	/* epoll refused it */
	bool		registered;
	uint32_t	mask;
	fdkind		kind;		/* looked up once, for the write room */
	int		bufsize;	/* send buffer or pipe size then */
};

struct kqstate {
	int		epfd;
	std::mutex	mu;
	std::map<std::pair<int, short>, knote> notes;
	std::map<int, fdreg> fds;
	/* Events found but not yet handed out for want of room. */
	std::vector<struct kevent> pending;
};

std::mutex table_mu;
std::map<int, std::shared_ptr<kqstate>> table;

std::shared_ptr<kqstate>
lookup(int kq)
{
	std::lock_guard<std::mutex> g(table_mu);
	auto it = table.find(kq);
	return it == table.end() ? nullptr : it->second;
}

knote *
find_note(kqstate &s, int fd, short filter)
{
	auto it = s.notes.find({fd, filter});
	return it == s.notes.end() ? nullptr : &it->second;
}

/* Bring the epoll registration of `fd` in line with its filters. */
int
update_fd(kqstate &s, int fd)
{
	fdreg &r = s.fds[fd];
	uint32_t mask = 0;
	bool any = false, all_clear = true;

	for (short f : {short(EVFILT_READ), short(EVFILT_WRITE)}) {
		knote *kn = find_note(s, fd, f);
		if (kn == nullptr)
			continue;
		any = true;
		if (!kn->enabled)
			continue;
		mask |= f == EVFILT_READ ? (EPOLLIN | EPOLLRDHUP) : EPOLLOUT;
		if (!(kn->modes & EV_CLEAR))
			all_clear = false;
	}
	if (mask != 0 && all_clear)
		mask |= EPOLLET;

	if (r.passive) {
		if (!any)
			s.fds.erase(fd);
		return 0;
	}
	/*
	 * Without an enabled filter the registration goes: epoll would still
	 * wake up for hang-ups that nobody asked about.
	 */
	if (mask == 0) {
		if (r.registered)
			(void)epoll_ctl(s.epfd, EPOLL_CTL_DEL, fd, nullptr);
		r.registered = false;
		r.mask = 0;
		if (!any)
			s.fds.erase(fd);
		return 0;
	}
	if (r.registered && r.mask == mask)
		return 0;

	struct epoll_event ev;
	memset(&ev, 0, sizeof(ev));
	ev.events = mask;
	ev.data.fd = fd;
	int op = r.registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
	int rc = epoll_ctl(s.epfd, op, fd, &ev);
	/* The descriptor may have been closed and opened again meanwhile. */
	if (rc < 0 && op == EPOLL_CTL_MOD && errno == ENOENT)
		rc = epoll_ctl(s.epfd, EPOLL_CTL_ADD, fd, &ev);
	else if (rc < 0 && op == EPOLL_CTL_ADD && errno == EEXIST)
		rc = epoll_ctl(s.epfd, EPOLL_CTL_MOD, fd, &ev);
	if (rc < 0) {
		if (errno == EPERM) {
			r.passive = true;
			r.registered = false;
			return 0;
		}
		return errno;
	}
	r.registered = true;
	r.mask = mask;
	return 0;
}

void
drop_fd(kqstate &s, int fd)
{
	s.notes.erase({fd, short(EVFILT_READ)});
	s.notes.erase({fd, short(EVFILT_WRITE)});
	auto it = s.fds.find(fd);
	if (it != s.fds.end()) {
		if (it->second.registered)
			(void)epoll_ctl(s.epfd, EPOLL_CTL_DEL, fd, nullptr);
		s.fds.erase(it);
	}
}

/*
 * /dev/null, /dev/zero and /dev/full: their FreeBSD drivers have no kqueue
 * filter. The host numbers them 1:3, 1:5 and 1:7.
 */
bool
no_kqfilter(int fd)
{
	struct stat st;

	if (fstat(fd, &st) < 0 || !S_ISCHR(st.st_mode) || major(st.st_rdev) != 1)
		return false;
	return minor(st.st_rdev) == 3 || minor(st.st_rdev) == 5 ||
	    minor(st.st_rdev) == 7;
}

/* One change; returns 0 or the error it fails with. */
int
apply_change(kqstate &s, const struct kevent &kev)
{
	if (kev.filter != EVFILT_READ && kev.filter != EVFILT_WRITE)
		return EINVAL;
	if (kev.ident > static_cast<uintptr_t>(INT_MAX))
		return EBADF;
	int fd = static_cast<int>(kev.ident);
	bool open = fcntl(fd, F_GETFD) >= 0;
	knote *kn = find_note(s, fd, kev.filter);

	if (!open) {
		/* Closing a descriptor removes its filters. */
		if (kn != nullptr)
			drop_fd(s, fd);
		return (kev.flags & EV_ADD) ? EBADF : ENOENT;
	}
	if (kn == nullptr) {
		if (!(kev.flags & EV_ADD))
			return ENOENT;
		if (no_kqfilter(fd))
			return ENODEV;
		knote fresh = {fd, kev.filter, 0, 0, 0, nullptr, true};
		kn = &s.notes.emplace(std::make_pair(fd, kev.filter), fresh)
		    .first->second;
	} else if (kev.flags & EV_DELETE) {
		s.notes.erase({fd, kev.filter});
		return update_fd(s, fd);
	}

	kn->udata = kev.udata;
	kn->fflags = kev.fflags;
	kn->sdata = kev.data;
	kn->modes |= kev.flags & kModeFlags;
	/* EV_ENABLE wins over EV_DISABLE; adding enables unless told otherwise. */
	if (kev.flags & EV_ENABLE)
		kn->enabled = true;
	else if (kev.flags & EV_DISABLE)
		kn->enabled = false;
	else if (kev.flags & EV_ADD)
		kn->enabled = true;

	int error = update_fd(s, fd);
	if (error != 0 && (kev.flags & EV_ADD)) {
		s.notes.erase({fd, kev.filter});
		(void)update_fd(s, fd);
	}
	return error;
}

int64_t
readable_bytes(int fd)
{
	int n = 0;

	return ioctl(fd, FIONREAD, &n) == 0 && n > 0 ? n : 0;
}

/* Room for writing: the buffer's size, learnt once, less what it holds. */
int64_t
writable_room(int fd, fdreg &r)
{
	if (r.kind == KIND_UNKNOWN) {
		struct stat st;
		socklen_t sl = sizeof(r.bufsize);

		r.kind = KIND_OTHER;
		if (fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode) &&
		    getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &r.bufsize, &sl) == 0)
			r.kind = KIND_SOCKET;
		else if (fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode) &&
		    (r.bufsize = fcntl(fd, F_GETPIPE_SZ)) > 0)
			r.kind = KIND_FIFO;
	}
	int queued = 0;
	if (r.kind == KIND_SOCKET && ioctl(fd, SIOCOUTQ, &queued) == 0 &&
	    r.bufsize > queued)
		return r.bufsize - queued;
	if (r.kind == KIND_FIFO && ioctl(fd, FIONREAD, &queued) == 0 &&
	    r.bufsize > queued)
		return r.bufsize - queued;
	return kUnknownRoom;
}

struct kevent
make_event(const knote &kn, unsigned short extra, int64_t data)
{
	struct kevent ev;

	memset(&ev, 0, sizeof(ev));
	ev.ident = static_cast<uintptr_t>(kn.fd);
	ev.filter = kn.filter;
	ev.flags = kn.modes | extra;
	ev.fflags = 0;
	ev.data = data;
	ev.udata = kn.udata;
	return ev;
}

/*
 * A descriptor that epoll refused. Returns true with its event when the
 * filter is ready now; *waiting tells that it may become ready later.
 */
bool
passive_ready(const knote &kn, struct kevent *ev, bool *waiting)
{
	struct stat st;

	if (fstat(kn.fd, &st) < 0)
		return false;
	if (kn.filter == EVFILT_WRITE) {
		*ev = make_event(kn, 0, kUnknownRoom);
		return true;
	}
	off_t off = lseek(kn.fd, 0, SEEK_CUR);
	if (S_ISREG(st.st_mode) && off >= 0 && off < st.st_size) {
		*ev = make_event(kn, 0, st.st_size - off);
		return true;
	}
	*waiting = true;
	return false;
}

/* What happens to a filter once it has been reported. */
void
after_report(kqstate &s, const struct kevent &ev)
{
	int fd = static_cast<int>(ev.ident);
	knote *kn = find_note(s, fd, ev.filter);

	if (kn == nullptr)
		return;
	if (kn->modes & EV_ONESHOT)
		s.notes.erase({fd, ev.filter});
	else if (kn->modes & EV_DISPATCH)
		kn->enabled = false;
	else
		return;
	/* A passive descriptor has no registration to keep in step. */
	auto r = s.fds.find(fd);
	if (r != s.fds.end() && r->second.passive)
		(void)update_fd(s, fd);
}

/* Translate what epoll said about one descriptor; returns the events made. */
int
translate(kqstate &s, const struct epoll_event &pe, struct kevent *out,
    int room)
{
	int fd = pe.data.fd, made = 0;
	uint32_t r = pe.events;

	knote *rd = find_note(s, fd, EVFILT_READ);
	if (rd != nullptr && rd->enabled &&
	    (r & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))) {
		unsigned short eof = (r & (EPOLLRDHUP | EPOLLHUP)) ? EV_EOF : 0;
		struct kevent ev = make_event(*rd, eof, readable_bytes(fd));
		if (made < room)
			out[made++] = ev;
		else
			s.pending.push_back(ev);
	}
	knote *wr = find_note(s, fd, EVFILT_WRITE);
	if (wr != nullptr && wr->enabled &&
	    (r & (EPOLLOUT | EPOLLHUP | EPOLLERR))) {
		unsigned short eof = (r & (EPOLLHUP | EPOLLERR)) ? EV_EOF : 0;
		struct kevent ev = make_event(*wr, eof, eof ? 0 :
		    writable_room(fd, s.fds[fd]));
		if (made < room)
			out[made++] = ev;
		else
			s.pending.push_back(ev);
	}
	/*
	 * Epoll spoke of a filter that a report has disabled since: bring the
	 * registration in line now, so it stays quiet until enabled again.
	 */
	bool rd_on = rd != nullptr && rd->enabled, wr_on = wr != nullptr && wr->enabled;
	if ((!rd_on && (r & EPOLLIN)) || (!wr_on && (r & EPOLLOUT)) ||
	    (!rd_on && !wr_on))
		(void)update_fd(s, fd);
	return made;
}

int64_t
now_ns()
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

/* Collect ready events into `out`; the wait itself happens unlocked. */
int
scan(kqstate &s, struct kevent *out, int nevents, const struct timespec *timeout)
{
	const int64_t deadline = timeout == nullptr ? -1 :
	    now_ns() + static_cast<int64_t>(timeout->tv_sec) * 1000000000 +
	    timeout->tv_nsec;
	std::vector<struct epoll_event> pe(nevents < 64 ? nevents : 64);

	for (;;) {
		int got = 0;
		bool file_waiting = false;
		{
			std::lock_guard<std::mutex> g(s.mu);
			/* Left over from last time, if still wanted. */
			std::vector<struct kevent> keep;
			for (const struct kevent &ev : s.pending) {
				knote *kn = find_note(s, static_cast<int>(ev.ident),
				    ev.filter);
				if (kn == nullptr || !kn->enabled)
					continue;
				if (got < nevents)
					out[got++] = ev;
				else
					keep.push_back(ev);
			}
			s.pending.swap(keep);
			for (auto &[key, kn] : s.notes) {
				if (got >= nevents)
					break;
				auto r = s.fds.find(key.first);
				if (!kn.enabled || r == s.fds.end() || !r->second.passive)
					continue;
				if (passive_ready(kn, &out[got], &file_waiting))
					got++;
			}
		}

		int ms;
		if (got > 0) {
			ms = 0;
		} else if (deadline < 0) {
			ms = -1;
		} else {
			int64_t left = deadline - now_ns();
			ms = left <= 0 ? 0 : static_cast<int>(
			    (left + 999999) / 1000000 > INT_MAX ? INT_MAX :
			    (left + 999999) / 1000000);
		}
		if (got == 0 && file_waiting && (ms < 0 || ms > kFileRecheckMs))
			ms = kFileRecheckMs;

		int room = nevents - got;
		int n = 0;
		if (room > 0) {
			int want = room < static_cast<int>(pe.size()) ? room :
			    static_cast<int>(pe.size());
			n = epoll_wait(s.epfd, pe.data(), want, ms);
			if (n < 0 && (errno != EINTR || got == 0))
				return -1;
			if (n < 0)
				n = 0;
		}

		std::lock_guard<std::mutex> g(s.mu);
		for (int i = 0; i < n; i++)
			got += translate(s, pe[i], out + got, nevents - got);
		for (int i = 0; i < got; i++)
			after_report(s, out[i]);
		if (got > 0)
			return got;
		if (deadline >= 0 && now_ns() >= deadline)
			return 0;
	}
}

} // namespace

int
kqueue(void)
{
	int fd = epoll_create1(EPOLL_CLOEXEC);

	if (fd < 0)
		return -1;
	auto s = std::make_shared<kqstate>();
	s->epfd = fd;
	std::lock_guard<std::mutex> g(table_mu);
	/* A number seen before belonged to a kqueue that has since been closed. */
	table[fd] = s;
	return fd;
}

int
kevent(int kq, const struct kevent *changelist, int nchanges,
    struct kevent *eventlist, int nevents, const struct timespec *timeout)
{
	if (nchanges < 0 || nevents < 0 ||
	    (nchanges > 0 && changelist == nullptr) ||
	    (nevents > 0 && eventlist == nullptr)) {
		errno = EINVAL;
		return -1;
	}
	if (timeout != nullptr && (timeout->tv_sec < 0 || timeout->tv_nsec < 0 ||
	    timeout->tv_nsec >= 1000000000)) {
		errno = EINVAL;
		return -1;
	}
	std::shared_ptr<kqstate> s = lookup(kq);
	if (s == nullptr) {
		errno = EBADF;
		return -1;
	}

	int room = nevents, nerrors = 0;
	{
		std::lock_guard<std::mutex> g(s->mu);
		for (int i = 0; i < nchanges; i++) {
			struct kevent kev = changelist[i];
			if (kev.filter == 0)
				continue;
			int error = apply_change(*s, kev);
			if (error == 0 && !(kev.flags & EV_RECEIPT))
				continue;
			/* No room to say how the change went: stop here. */
			if (room == 0) {
				if (error == 0)
					return 0;
				errno = error;
				return -1;
			}
			kev.flags = EV_ERROR;
			kev.data = error;
			eventlist[nerrors++] = kev;
			room--;
		}
	}
	if (nerrors > 0)
		return nerrors;
	if (nevents == 0)
		return 0;
	return scan(*s, eventlist, nevents, timeout);
}
