/*-
 * SPDX-License-Identifier: BSD-2-Clause
 *
 * Copyright (c) 2026 The hooktap and riftlink authors
 *
 * Redistribution and use in source and binary forms, with or without
 * modification, are permitted provided that the following conditions
 * are met:
 * 1. Redistributions of source code must retain the above copyright
 *    notice, this list of conditions and the following disclaimer.
 * 2. Redistributions in binary form must reproduce the above copyright
 *    notice, this list of conditions and the following disclaimer in the
 *    documentation and/or other materials provided with the distribution.
 *
 * THIS SOFTWARE IS PROVIDED BY THE AUTHOR AND CONTRIBUTORS ``AS IS'' AND
 * ANY EXPRESS OR IMPLIED WARRANTIES, INCLUDING, BUT NOT LIMITED TO, THE
 * IMPLIED WARRANTIES OF MERCHANTABILITY AND FITNESS FOR A PARTICULAR PURPOSE
 * ARE DISCLAIMED.  IN NO EVENT SHALL THE AUTHOR OR CONTRIBUTORS BE LIABLE
 * FOR ANY DIRECT, INDIRECT, INCIDENTAL, SPECIAL, EXEMPLARY, OR CONSEQUENTIAL
 * DAMAGES (INCLUDING, BUT NOT LIMITED TO, PROCUREMENT OF SUBSTITUTE GOODS
 * OR SERVICES; LOSS OF USE, DATA, OR PROFITS; OR BUSINESS INTERRUPTION)
 * HOWEVER CAUSED AND ON ANY THEORY OF LIABILITY, WHETHER IN CONTRACT, STRICT
 * LIABILITY, OR TORT (INCLUDING NEGLIGENCE OR OTHERWISE) ARISING IN ANY WAY
 * OUT OF THE USE OF THIS SOFTWARE, EVEN IF ADVISED OF THE POSSIBILITY OF
 * SUCH DAMAGE.
 */

/*
 * A byte ring of a power-of-two size whose shared-memory object is mapped
 * twice, the second view directly behind the first. Any run of at most
 * capacity bytes that starts inside the first view is contiguous in the
 * address space, so one read(2) fills and one write(2) drains the ring
 * however the bytes lie across its end.
 *
 * head and tail are free-running 32-bit counts of the bytes ever put in and
 * taken out; capacity divides 2^32, so they wrap without a special case and
 * the bytes held are head - tail modulo 2^32.
 */
#ifndef HOOKTAP_RING32_H
#define	HOOKTAP_RING32_H

#include <sys/types.h>
#include <sys/mman.h>

#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <strings.h>
#include <unistd.h>

struct ring32 {
	uint32_t	capacity;	/* bytes of the object and each view */
	uint32_t	mask;		/* capacity - 1 */
	uint32_t	tail;		/* bytes ever taken out */
	uint32_t	head;		/* bytes ever put in */
	uint8_t		*base;		/* first view */
	uint8_t		*mirror;	/* second view, at base + capacity */
};

/* The relay loop's event handlers: a descriptor and the ring. */
typedef ssize_t (*ring32_handler)(int fd, struct ring32 *rb);

/*
 * Set up a ring of 2^order pages. Both views are placed inside one
 * reservation of twice the size, so the second can never land on a
 * mapping of someone else's. The record is written only on success; on
 * failure everything made so far is given back and errno is the failed
 * call's.
 */
static inline int
ring32_init(struct ring32 *rb, uint8_t order)
{
	size_t size;
	uint8_t *res;
	int fd, page, saved, shift;

	page = getpagesize();
	shift = ffs(page) - 1;	/* the lowest set bit */
	if (rb == NULL) {
		errno = EINVAL;
		return (-1);
	}
	if (order + shift >= 32) {
		errno = EDOM;
		return (-1);
	}
	size = (size_t)1 << (order + shift);

	fd = shm_open(SHM_ANON, O_RDWR | O_CREAT | O_EXCL, 0600);
	if (fd == -1)
		return (-1);
	if (ftruncate(fd, (off_t)size) == -1) {
		saved = errno;
		close(fd);
		errno = saved;
		return (-1);
	}

	res = (uint8_t *)mmap(NULL, 2 * size, PROT_NONE,
	    MAP_PRIVATE | MAP_ANON | MAP_ALIGNED(shift), -1, 0);
	if (res == MAP_FAILED) {
		saved = errno;
		close(fd);
		errno = saved;
		return (-1);
	}
	if (mmap(res, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED,
	    fd, 0) == MAP_FAILED ||
	    mmap(res + size, size, PROT_READ | PROT_WRITE,
	    MAP_SHARED | MAP_FIXED, fd, 0) == MAP_FAILED) {
		saved = errno;
		munmap(res, 2 * size);
		close(fd);
		errno = saved;
		return (-1);
	}
	/* The two views now hold the object; it goes when both are unmapped. */
	close(fd);

	rb->capacity = (uint32_t)size;
	rb->mask = (uint32_t)size - 1;
	rb->tail = 0;
	rb->head = 0;
	rb->base = res;
	rb->mirror = res + size;
	return (0);
}

static inline int
ring32_free(struct ring32 *rb)
{
	if (rb == NULL) {
		errno = EINVAL;
		return (-1);
	}
	if (rb->capacity == 0) {
		errno = ENXIO;
		return (-1);
	}
	munmap(rb->mirror, rb->capacity);
	munmap(rb->base, rb->capacity);
	rb->capacity = 0;
	rb->mask = 0;
	rb->tail = 0;
	rb->head = 0;
	rb->base = NULL;
	rb->mirror = NULL;
	return (0);
}

static inline uint32_t
ring32_count(const struct ring32 *rb)
{
	uint32_t count;

	assert(rb->capacity != 0);
	assert(rb->mask != 0);
	assert((rb->capacity & rb->mask) == 0);

	count = rb->head - rb->tail;
	assert(count <= rb->capacity);
	return (count);
}

static inline void
ring32_read_advance(struct ring32 *rb, ssize_t nread)
{
	assert(rb != NULL);
	assert(rb->capacity != 0);
	assert(rb->mask != 0);
	assert((rb->capacity & rb->mask) == 0);

	if (nread == -1)
		return;
	assert(nread <= rb->capacity);
	rb->head += (uint32_t)nread;
}

static inline void
ring32_write_advance(struct ring32 *rb, ssize_t nwrit)
{
	assert(rb != NULL);
	assert(rb->capacity != 0);
	assert(rb->mask != 0);
	assert((rb->capacity & rb->mask) == 0);

	if (nwrit == -1)
		return;
	assert(nwrit <= rb->capacity);
	rb->tail += (uint32_t)nwrit;
}

/*
 * Offer all the free space to one read. EAGAIN is retried at once; any
 * other failure, EINTR included, is returned with the ring unchanged.
 */
static inline ssize_t
read_into_ring(int fd, struct ring32 *rb)
{
	uint32_t room;
	uint8_t *dst;
	ssize_t n;

	for (;;) {
		room = rb->capacity - ring32_count(rb);
		dst = room > 0 ? rb->base + (rb->head & rb->mask) : NULL;
		n = read(fd, dst, room);
		ring32_read_advance(rb, n);
		if (n == -1 && errno == EAGAIN)
			continue;
		return (n);
	}
}

/* Offer every byte held to one write, with the same retry rule. */
static inline ssize_t
write_from_ring(int fd, struct ring32 *rb)
{
	const uint8_t *src;
	uint32_t count;
	ssize_t n;

	for (;;) {
		count = ring32_count(rb);
		src = count > 0 ? rb->base + (rb->tail & rb->mask) : NULL;
		n = write(fd, src, count);
		ring32_write_advance(rb, n);
		if (n == -1 && errno == EAGAIN)
			continue;
		return (n);
	}
}

#endif /* HOOKTAP_RING32_H */
