#include <sys/types.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

const size_t kPage = static_cast<size_t>(getpagesize());

TEST(MapAligned, PlacesTheMappingOnTheBoundary)
{
	for (int shift : {16, 21, 24}) {
		const size_t len = 3 * kPage;
		void *p = mmap(nullptr, len, PROT_READ | PROT_WRITE,
		    MAP_PRIVATE | MAP_ANONYMOUS | MAP_ALIGNED(shift), -1, 0);
		ASSERT_NE(p, MAP_FAILED) << "shift " << shift;
		EXPECT_EQ(reinterpret_cast<uintptr_t>(p) & ((uintptr_t(1) << shift) - 1),
		    0u) << "shift " << shift;
		memset(p, 0xa5, len);
		/* The address space reserved around it was given back. */
		unsigned char vec[1];
		EXPECT_EQ(mincore(static_cast<char *>(p) + len, kPage, vec), -1);
		EXPECT_EQ(errno, ENOMEM);
		EXPECT_EQ(munmap(p, len), 0);
	}
}

TEST(MapAligned, RefusesAlignmentsBelowAPage)
{
	void *p = mmap(nullptr, kPage, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS |
	    MAP_ALIGNED(4), -1, 0);
	EXPECT_EQ(p, MAP_FAILED);
	EXPECT_EQ(errno, EINVAL);
}

TEST(MapExcl, RefusesARangeInUseAndTakesAFreeOne)
{
	char *busy = static_cast<char *>(mmap(nullptr, 2 * kPage,
	    PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
	ASSERT_NE(busy, MAP_FAILED);
	busy[kPage] = 'k';

	/* Overlapping the second page of an existing mapping. */
	void *p = mmap(busy + kPage, 2 * kPage, PROT_READ | PROT_WRITE,
	    MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_EXCL, -1, 0);
	EXPECT_EQ(p, MAP_FAILED);
	EXPECT_EQ(errno, EINVAL);
	EXPECT_EQ(busy[kPage], 'k');	/* still the old page */

	/* Freed, the same range is taken at exactly that address. */
	ASSERT_EQ(munmap(busy, 2 * kPage), 0);
	p = mmap(busy, 2 * kPage, PROT_READ | PROT_WRITE,
	    MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_EXCL, -1, 0);
	ASSERT_EQ(p, static_cast<void *>(busy));
	EXPECT_EQ(busy[kPage], 0);
	munmap(p, 2 * kPage);

	/* MAP_EXCL means nothing without MAP_FIXED. */
	p = mmap(nullptr, kPage, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS |
	    MAP_EXCL, -1, 0);
	EXPECT_EQ(p, MAP_FAILED);
	EXPECT_EQ(errno, EINVAL);
}

TEST(MapFlags, HostFlagsPassUnchanged)
{
	/* A plain fixed mapping still replaces what was there. */
	char *p = static_cast<char *>(mmap(nullptr, kPage, PROT_READ | PROT_WRITE,
	    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
	ASSERT_NE(p, MAP_FAILED);
	p[0] = 1;
	void *q = mmap(p, kPage, PROT_READ | PROT_WRITE,
	    MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
	ASSERT_EQ(q, static_cast<void *>(p));
	EXPECT_EQ(p[0], 0);
	munmap(p, kPage);
	EXPECT_EQ(mmap(nullptr, 0, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0),
	    MAP_FAILED);
}

TEST(ShmAnon, ObjectMappedTwiceBackToBackShowsTheSameBytes)
{
	const size_t size = 4 * kPage;
	int fd = shm_open(SHM_ANON, O_RDWR | O_CREAT | O_EXCL, 0600);
	ASSERT_GE(fd, 0);
	EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
	ASSERT_EQ(ftruncate(fd, size), 0);

	/* First view aligned to its own size; the space behind it reserved. */
	char *base = static_cast<char *>(mmap(nullptr, 2 * size, PROT_NONE,
	    MAP_PRIVATE | MAP_ANONYMOUS | MAP_ALIGNED(16), -1, 0));
	ASSERT_NE(base, MAP_FAILED);
	ASSERT_EQ(mmap(base, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED,
	    fd, 0), static_cast<void *>(base));
	ASSERT_EQ(mmap(base + size, size, PROT_READ | PROT_WRITE,
	    MAP_SHARED | MAP_FIXED, fd, 0), static_cast<void *>(base + size));
	close(fd);

	/* A run written across the end of the first view wraps to its start. */
	const char msg[] = "across the end";
	memcpy(base + size - 6, msg, sizeof(msg));
	EXPECT_EQ(memcmp(base, msg + 6, sizeof(msg) - 6), 0);
	EXPECT_EQ(memcmp(base + 2 * size - 6, msg, 6), 0);
	base[100] = 'q';
	EXPECT_EQ(base[size + 100], 'q');
	munmap(base, 2 * size);
}

TEST(ShmAnon, RefusesReadOnlyAndLeavesNamedPathsToTheHost)
{
	EXPECT_EQ(shm_open(SHM_ANON, O_RDONLY, 0600), -1);
	EXPECT_EQ(errno, EINVAL);

	char name[64];
	snprintf(name, sizeof(name), "/compat-shm-%d", getpid());
	int fd = shm_open(name, O_RDWR | O_CREAT | O_EXCL, 0600);
	ASSERT_GE(fd, 0);
	EXPECT_EQ(shm_open(name, O_RDWR | O_CREAT | O_EXCL, 0600), -1);
	EXPECT_EQ(errno, EEXIST);
	close(fd);
	EXPECT_EQ(shm_unlink(name), 0);
}

} // namespace
