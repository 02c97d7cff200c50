// Two jails' network stacks joined through a passage: pings cross it, and
// stop once it is shut down.
#include <gtest/gtest.h>

#include "harness.h"
#include "riftlink_e2e.h"

namespace {

TEST(Stacks, PingsCrossThePassageAndStopWhenItGoes) {
  e2e::Kernel k;
  k.jail("vj1");
  k.jail("vj2");
  k.iface("em0", "vj1");
  k.iface("em1", "vj2");
  struct End {
    const char *jail, *dev, *v4, *v6;
  } ends[] = {{"vj1", "em0", "169.254.1.1/16", "fe80::1/64"},
              {"vj2", "em1", "169.254.1.2/16", "fe80::2/64"}};
  for (const End& e : ends)
    for (const char* a : {e.v4, e.v6}) k.ok({"jexec", e.jail, "ip", "addr", "add", a, "dev", e.dev});
  // From vj1, `count` pings at vj2; whether all came back.
  auto ping = [&](bool v6, const char* count) {
    e2e::Proc p = k.ngsim({"jexec", "vj1", "ping", v6 ? "-6" : "-4", "-c", count, "-i", "0.2",
                           "-W", "1", v6 ? "fe80::2%em0" : "169.254.1.2"});
    return p.status == 0 && p.out.find(std::string(count) + " received") != std::string::npos;
  };
  EXPECT_FALSE(ping(false, "1")) << "no way across yet";

  e2e::Proc r = riftlink({"vj1:a:em0:upper", "vj2:b:em1:upper"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(ping(false, "3"));
  EXPECT_TRUE(ping(true, "3"));

  // Shut down from inside vj1, the passage goes at both ends.
  k.ok({"jexec", "vj1", e2e::bin_path("ngctl"), "shutdown", "a:"});
  EXPECT_TRUE(e2e::nodes_of_type(k.graph("vj2"), "wormhole").empty());
  EXPECT_FALSE(ping(false, "1"));
  EXPECT_FALSE(ping(true, "1"));
}

}  // namespace
