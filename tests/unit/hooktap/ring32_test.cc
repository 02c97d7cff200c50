// The mirrored ring: sizes and placement, giving everything back, runs that
// cross the end of the first view, free-running counters that wrap, and
// what the two handlers hand to read(2) and write(2).
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "ring32.h"

// read(2) and write(2) as the handlers see them, replaced by a script while
// `active` is set (the test links with --wrap=read,--wrap=write).
namespace io_fake {
struct Step {
  Step(ssize_t r, int e = 0, std::string d = {}) : result(r), err(e), data(std::move(d)) {}
  ssize_t result;      // what the call returns
  int err;             // errno when result is -1
  std::string data;    // for read: bytes placed at the buffer
};
struct Call {
  int fd;
  const void* buf;
  size_t len;
  std::string seen;    // for write: the bytes offered
};
bool active = false;
std::deque<Step> steps;
std::vector<Call> calls;
}  // namespace io_fake

extern "C" ssize_t __real_read(int, void*, size_t);
extern "C" ssize_t __real_write(int, const void*, size_t);

extern "C" ssize_t __wrap_read(int fd, void* buf, size_t len) {
  using namespace io_fake;
  if (!active) return __real_read(fd, buf, len);
  calls.push_back({fd, buf, len, {}});
  if (steps.empty()) {
    ADD_FAILURE() << "unexpected read";
    errno = EIO;
    return -1;
  }
  Step s = steps.front();
  steps.pop_front();
  if (s.result < 0) {
    errno = s.err;
    return -1;
  }
  memcpy(buf, s.data.data(), s.data.size());
  return s.result;
}

extern "C" ssize_t __wrap_write(int fd, const void* buf, size_t len) {
  using namespace io_fake;
  if (!active) return __real_write(fd, buf, len);
  calls.push_back({fd, buf, len, buf ? std::string(static_cast<const char*>(buf), len) : ""});
  if (steps.empty()) {
    ADD_FAILURE() << "unexpected write";
    errno = EIO;
    return -1;
  }
  Step s = steps.front();
  steps.pop_front();
  if (s.result < 0) errno = s.err;
  return s.result;
}

namespace {

bool mapped(const void* p, size_t len) {
  std::vector<unsigned char> v((len + 4095) / 4096);
  return mincore(const_cast<void*>(p), len, v.data()) == 0;
}

std::string pattern(size_t n, uint8_t seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>(seed + i * 7);
  return s;
}

class Ring : public ::testing::Test {
 protected:
  void SetUp() override {
    io_fake::active = false;
    io_fake::steps.clear();
    io_fake::calls.clear();
    memset(&rb, 0, sizeof(rb));
  }
  void TearDown() override {
    io_fake::active = false;
    if (rb.capacity != 0) ring32_free(&rb);
  }
  // A one-page ring with the given counters.
  void page_ring(uint32_t tail, uint32_t head) {
    ASSERT_EQ(ring32_init(&rb, 0), 0);
    ASSERT_EQ(rb.capacity, 4096u);
    rb.tail = tail;
    rb.head = head;
  }
  struct ring32 rb;
};

TEST_F(Ring, SizesAndTheSecondViewAliasesTheFirst) {
  ASSERT_EQ(getpagesize(), 4096);
  ASSERT_EQ(ring32_init(&rb, 0), 0);
  EXPECT_EQ(rb.capacity, 4096u);
  EXPECT_EQ(rb.mask, 4095u);
  EXPECT_EQ(rb.head, 0u);
  EXPECT_EQ(rb.tail, 0u);
  EXPECT_EQ(rb.mirror, rb.base + 4096);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(rb.base) % 4096, 0u);
  rb.base[10] = 'a';
  EXPECT_EQ(rb.mirror[10], 'a');
  rb.mirror[4095] = 'z';
  EXPECT_EQ(rb.base[4095], 'z');
  ASSERT_EQ(ring32_free(&rb), 0);

  ASSERT_EQ(ring32_init(&rb, 8), 0);
  EXPECT_EQ(rb.capacity, 1048576u);
  EXPECT_EQ(rb.mask, 1048575u);
  ASSERT_EQ(ring32_free(&rb), 0);

  // The largest ring that 32-bit counters allow, and one beyond it.
  ASSERT_EQ(ring32_init(&rb, 19), 0);
  EXPECT_EQ(rb.capacity, 0x80000000u);
  rb.base[0x7fffffff] = 'q';
  EXPECT_EQ(rb.mirror[0x7fffffff], 'q');
  ASSERT_EQ(ring32_free(&rb), 0);

  errno = 0;
  EXPECT_EQ(ring32_init(&rb, 20), -1);
  EXPECT_EQ(errno, EDOM);
  EXPECT_EQ(ring32_init(&rb, 255), -1);
  EXPECT_EQ(errno, EDOM);
  EXPECT_EQ(rb.capacity, 0u);
  EXPECT_EQ(rb.base, nullptr);

  errno = 0;
  EXPECT_EQ(ring32_init(nullptr, 0), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(Ring, FreeGivesBothViewsBackAndRefusesAnAbsentRing) {
  errno = 0;
  EXPECT_EQ(ring32_free(nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(ring32_free(&rb), -1);
  EXPECT_EQ(errno, ENXIO);

  ASSERT_EQ(ring32_init(&rb, 2), 0);
  uint8_t* base = rb.base;
  size_t cap = rb.capacity;
  rb.head = 77;
  rb.tail = 5;
  ASSERT_TRUE(mapped(base, 2 * cap));
  ASSERT_EQ(ring32_free(&rb), 0);
  EXPECT_FALSE(mapped(base, 4096));
  EXPECT_FALSE(mapped(base + cap, 4096));
  EXPECT_FALSE(mapped(base + 2 * cap - 4096, 4096));
  struct ring32 zero;
  memset(&zero, 0, sizeof(zero));
  EXPECT_EQ(memcmp(&rb, &zero, sizeof(rb)), 0);
  errno = 0;
  EXPECT_EQ(ring32_free(&rb), -1);
  EXPECT_EQ(errno, ENXIO);
}

TEST_F(Ring, CountIsModuloTwoToThe32) {
  page_ring(0xffffff00u, 256);
  EXPECT_EQ(ring32_count(&rb), 512u);
  ring32_read_advance(&rb, 4096 - 512);
  EXPECT_EQ(rb.head, 256u + 3584u);
  EXPECT_EQ(ring32_count(&rb), 4096u);
  ring32_write_advance(&rb, 4096);
  EXPECT_EQ(rb.tail, 3840u);
  EXPECT_EQ(ring32_count(&rb), 0u);
  // A failed transfer moves nothing.
  ring32_read_advance(&rb, -1);
  ring32_write_advance(&rb, -1);
  EXPECT_EQ(rb.head, 3840u);
  EXPECT_EQ(rb.tail, 3840u);
}

TEST_F(Ring, RunsCrossTheEndOfTheFirstView) {
  page_ring(3000, 4000);
  const std::string held = pattern(1000, 1);
  for (size_t i = 0; i < 1000; i++) rb.base[(3000 + i) & 4095] = held[i];

  const std::string in = pattern(500, 9);
  io_fake::active = true;
  io_fake::steps.push_back({500, 0, in});
  EXPECT_EQ(read_into_ring(7, &rb), 500);
  ASSERT_EQ(io_fake::calls.size(), 1u);
  EXPECT_EQ(io_fake::calls[0].fd, 7);
  EXPECT_EQ(io_fake::calls[0].buf, rb.base + 4000);
  EXPECT_EQ(io_fake::calls[0].len, 3096u);
  EXPECT_EQ(rb.head, 4500u);
  // The last 404 bytes went through the second view to the object's start.
  EXPECT_EQ(std::string(reinterpret_cast<char*>(rb.base), 404), in.substr(96));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(rb.base) + 4000, 96), in.substr(0, 96));

  io_fake::calls.clear();
  io_fake::steps.push_back({1500});
  EXPECT_EQ(write_from_ring(1, &rb), 1500);
  ASSERT_EQ(io_fake::calls.size(), 1u);
  EXPECT_EQ(io_fake::calls[0].buf, rb.base + 3000);
  EXPECT_EQ(io_fake::calls[0].len, 1500u);
  EXPECT_EQ(io_fake::calls[0].seen, held + in);
  EXPECT_EQ(rb.tail, 4500u);
}

TEST_F(Ring, WrappedCountersUseTheirMaskedOffsets) {
  page_ring(0xffffff00u, 256);
  io_fake::active = true;
  io_fake::steps.push_back({10, 0, "0123456789"});
  EXPECT_EQ(read_into_ring(3, &rb), 10);
  EXPECT_EQ(io_fake::calls[0].buf, rb.base + 256);
  EXPECT_EQ(io_fake::calls[0].len, 4096u - 512);
  io_fake::steps.push_back({200});
  EXPECT_EQ(write_from_ring(1, &rb), 200);
  EXPECT_EQ(io_fake::calls[1].buf, rb.base + 3840);
  EXPECT_EQ(io_fake::calls[1].len, 522u);
  EXPECT_EQ(rb.tail, 0xffffff00u + 200);
  EXPECT_EQ(ring32_count(&rb), 322u);
}

TEST_F(Ring, FullAndEmptyRingsOfferNothing) {
  page_ring(100, 100 + 4096);
  io_fake::active = true;
  io_fake::steps.push_back({0});
  EXPECT_EQ(read_into_ring(3, &rb), 0);
  EXPECT_EQ(io_fake::calls[0].buf, nullptr);
  EXPECT_EQ(io_fake::calls[0].len, 0u);
  EXPECT_EQ(rb.head, 100u + 4096);

  rb.tail = rb.head;
  io_fake::steps.push_back({0});
  EXPECT_EQ(write_from_ring(1, &rb), 0);
  EXPECT_EQ(io_fake::calls[1].buf, nullptr);
  EXPECT_EQ(io_fake::calls[1].len, 0u);
  EXPECT_EQ(rb.tail, 100u + 4096);
}

TEST_F(Ring, EagainIsRetriedAndOtherFailuresReturned) {
  page_ring(0, 0);
  io_fake::active = true;

  // read: EAGAIN twice, then data; the end (0) and EINTR come back as they are.
  io_fake::steps.push_back({-1, EAGAIN});
  io_fake::steps.push_back({-1, EAGAIN});
  io_fake::steps.push_back({3, 0, "abc"});
  EXPECT_EQ(read_into_ring(3, &rb), 3);
  EXPECT_EQ(io_fake::calls.size(), 3u);
  EXPECT_EQ(rb.head, 3u);
  io_fake::steps.push_back({0});
  EXPECT_EQ(read_into_ring(3, &rb), 0);
  EXPECT_EQ(rb.head, 3u);
  io_fake::steps.push_back({-1, EINTR});
  errno = 0;
  EXPECT_EQ(read_into_ring(3, &rb), -1);
  EXPECT_EQ(errno, EINTR);
  io_fake::steps.push_back({-1, ECONNRESET});
  EXPECT_EQ(read_into_ring(3, &rb), -1);
  EXPECT_EQ(errno, ECONNRESET);
  EXPECT_EQ(rb.head, 3u);
  EXPECT_EQ(io_fake::calls.size(), 6u);

  // write: the same rule.
  io_fake::calls.clear();
  io_fake::steps.push_back({-1, EAGAIN});
  io_fake::steps.push_back({2});
  EXPECT_EQ(write_from_ring(1, &rb), 2);
  EXPECT_EQ(io_fake::calls.size(), 2u);
  EXPECT_EQ(io_fake::calls[1].seen, "abc");
  EXPECT_EQ(rb.tail, 2u);
  io_fake::steps.push_back({-1, EINTR});
  EXPECT_EQ(write_from_ring(1, &rb), -1);
  EXPECT_EQ(errno, EINTR);
  io_fake::steps.push_back({-1, EPIPE});
  EXPECT_EQ(write_from_ring(1, &rb), -1);
  EXPECT_EQ(errno, EPIPE);
  EXPECT_EQ(rb.tail, 2u);
}

// Datagrams through real descriptors, many times round a one-page ring:
// every byte comes out once and in order.
TEST_F(Ring, StreamSurvivesManyWraps) {
  int dg[2], out[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, dg), 0);
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, out), 0);
  ASSERT_EQ(ring32_init(&rb, 0), 0);

  std::string sent, got;
  char buf[4096];
  for (int i = 0; i < 200; i++) {
    std::string item = pattern(37 + (i * 131) % 1300, static_cast<uint8_t>(i));
    ASSERT_EQ(send(dg[1], item.data(), item.size(), 0),
              static_cast<ssize_t>(item.size()));
    sent += item;
    ASSERT_EQ(read_into_ring(dg[0], &rb), static_cast<ssize_t>(item.size()));
    if (i % 3 == 2 || ring32_count(&rb) > 4096 - 1400) {
      ssize_t n = write_from_ring(out[1], &rb);
      ASSERT_GT(n, 0);
      ASSERT_EQ(recv(out[0], buf, static_cast<size_t>(n), MSG_WAITALL), n);
      got.append(buf, static_cast<size_t>(n));
    }
  }
  while (ring32_count(&rb) > 0) {
    ssize_t n = write_from_ring(out[1], &rb);
    ASSERT_GT(n, 0);
    ASSERT_EQ(recv(out[0], buf, static_cast<size_t>(n), MSG_WAITALL), n);
    got.append(buf, static_cast<size_t>(n));
  }
  EXPECT_GT(rb.head, 10u * 4096);
  EXPECT_EQ(got, sent);
  for (int fd : {dg[0], dg[1], out[0], out[1]}) close(fd);
}

}  // namespace
