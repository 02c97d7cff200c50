/*
 * mmap with FreeBSD's placement flags, MAP_EXCL and MAP_ALIGNED(n), whose
 * values the host uses for flags of its own; everything else is the host's.
 */
#include <sys/types.h>
#include <sys/mman.h>

#undef mmap

#include <errno.h>
#include <stdint.h>
#include <unistd.h>

namespace {

/* The alignment MAP_ALIGNED_SUPER asks for: the host's large page. */
constexpr unsigned kSuperShift = 21;

int
page_shift()
{
	long page = sysconf(_SC_PAGESIZE);
	int shift = 0;

	while ((1L << shift) < page)
		shift++;
	return shift;
}

/*
 * Place the mapping on a 2^shift boundary: reserve enough address space to
 * find such a boundary inside, map over the reservation there, and give the
 * slack on both sides back.
 */
void *
aligned_map(size_t len, int prot, int flags, int fd, off_t offset,
    unsigned shift)
{
	const size_t align = static_cast<size_t>(1) << shift;
	const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
	const size_t span = ((len + page - 1) & ~(page - 1));

	if (span + align < span) {
		errno = ENOMEM;
		return MAP_FAILED;
	}
	void *res = mmap(nullptr, span + align, PROT_NONE,
	    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
	if (res == MAP_FAILED)
		return MAP_FAILED;
	uintptr_t lo = reinterpret_cast<uintptr_t>(res);
	uintptr_t at = (lo + align - 1) & ~(static_cast<uintptr_t>(align) - 1);
	void *p = mmap(reinterpret_cast<void *>(at), len, prot, flags | MAP_FIXED,
	    fd, offset);
	if (p == MAP_FAILED) {
		int saved = errno;
		munmap(res, span + align);
		errno = saved;
		return MAP_FAILED;
	}
	if (at > lo)
		munmap(res, at - lo);
	uintptr_t end = at + span, hi = lo + span + align;
	if (hi > end)
		munmap(reinterpret_cast<void *>(end), hi - end);
	return p;
}

} // namespace

extern "C" void *
compat_mmap(void *addr, size_t len, int prot, int flags, int fd, off_t offset)
{
	const unsigned align = (static_cast<unsigned>(flags) & MAP_ALIGNMENT_MASK) >>
	    MAP_ALIGNMENT_SHIFT;
	const bool excl = (flags & MAP_EXCL) != 0;
	int host = flags & ~static_cast<int>(MAP_ALIGNMENT_MASK) & ~MAP_EXCL;

	if (len == 0) {
		errno = EINVAL;
		return MAP_FAILED;
	}
	if (excl) {
		if (!(flags & MAP_FIXED)) {
			errno = EINVAL;
			return MAP_FAILED;
		}
		host = (host & ~MAP_FIXED) | MAP_FIXED_NOREPLACE;
		void *p = mmap(addr, len, prot, host, fd, offset);
		if (p == MAP_FAILED) {
			/* A range in use is refused the way FreeBSD refuses it. */
			if (errno == EEXIST)
				errno = EINVAL;
			return MAP_FAILED;
		}
		/* A host too old for the flag takes it as a mere hint. */
		if (p != addr) {
			munmap(p, len);
			errno = EINVAL;
			return MAP_FAILED;
		}
		return p;
	}
	if (align == 0)
		return mmap(addr, len, prot, host, fd, offset);

	unsigned shift = align == 1 ? kSuperShift : align;
	if (align != 1 && (static_cast<int>(align) < page_shift() ||
	    align >= sizeof(void *) * 8)) {
		errno = EINVAL;
		return MAP_FAILED;
	}
	/* A fixed address is its own placement. */
	if (flags & MAP_FIXED) {
		if (reinterpret_cast<uintptr_t>(addr) &
		    ((static_cast<uintptr_t>(1) << shift) - 1)) {
			errno = EINVAL;
			return MAP_FAILED;
		}
		return mmap(addr, len, prot, host, fd, offset);
	}
	return aligned_map(len, prot, host, fd, offset, shift);
}
