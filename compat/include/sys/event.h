/*
 * kqueue(2): kernel event notification, with FreeBSD's values and layout.
 * As FreeBSD's, it stands alone and gives no other header's names.
 */
#ifndef _SYS_EVENT_H_
#define _SYS_EVENT_H_

#include <bits/types.h>

#define EVFILT_READ	(-1)
#define EVFILT_WRITE	(-2)

#define EV_ADD		0x0001	/* add the event to the kqueue */
#define EV_DELETE	0x0002	/* remove it */
#define EV_ENABLE	0x0004	/* let it be reported */
#define EV_DISABLE	0x0008	/* keep it, but do not report it */
#define EV_ONESHOT	0x0010	/* report once, then delete */
#define EV_CLEAR	0x0020	/* reset the state once reported */
#define EV_RECEIPT	0x0040	/* always answer the change with EV_ERROR */
#define EV_DISPATCH	0x0080	/* disable once reported */

#define EV_ERROR	0x4000	/* the change failed: data holds the error */
#define EV_EOF		0x8000	/* the filter saw end of file */

struct kevent {
	__UINTPTR_TYPE__ ident;		/* what the event is about: a descriptor */
	short		filter;
	unsigned short	flags;
	unsigned int	fflags;
	__int64_t	data;
	void		*udata;		/* passed through untouched */
	__uint64_t	ext[4];
};

#ifdef __cplusplus
static_assert(sizeof(struct kevent) == 64, "struct kevent is 64 bytes");
#else
_Static_assert(sizeof(struct kevent) == 64, "struct kevent is 64 bytes");
#endif

#define EV_SET(kevp_, a, b, c, d, e, f) do {		\
	struct kevent *ev_set_kevp_ = (kevp_);		\
	ev_set_kevp_->ident = (a);			\
	ev_set_kevp_->filter = (b);			\
	ev_set_kevp_->flags = (c);			\
	ev_set_kevp_->fflags = (d);			\
	ev_set_kevp_->data = (e);			\
	ev_set_kevp_->udata = (f);			\
	ev_set_kevp_->ext[0] = 0;			\
	ev_set_kevp_->ext[1] = 0;			\
	ev_set_kevp_->ext[2] = 0;			\
	ev_set_kevp_->ext[3] = 0;			\
} while (0)

struct timespec;

#ifdef __cplusplus
extern "C" {
#endif

int	kqueue(void);
int	kevent(int kq, const struct kevent *changelist, int nchanges,
	    struct kevent *eventlist, int nevents, const struct timespec *timeout);

#ifdef __cplusplus
}
#endif

#endif /* _SYS_EVENT_H_ */
