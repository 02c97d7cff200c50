// The small ngctl: what it prints and how it fails.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

const char kUsage[] =
    "usage: ngctl list\n"
    "       ngctl show path\n"
    "       ngctl shutdown path\n"
    "       ngctl mkpeer [path] type hook peerhook\n"
    "       ngctl connect [path] relpath hook peerhook\n"
    "       ngctl name path name\n"
    "       ngctl rmhook [path] hook\n";

e2e::Proc ngctl(const std::vector<std::string>& args) {
  std::vector<std::string> argv{e2e::bin_path("ngctl")};
  argv.insert(argv.end(), args.begin(), args.end());
  return e2e::run(argv);
}

TEST(Ngctl, BuildsShowsAndTearsDownAGraph) {
  e2e::Kernel k;
  k.ok({"kld", "load", "ng_socket"});
  k.iface("em0");
  EXPECT_EQ(ngctl({"mkpeer", "em0:", "tee", "lower", "left"}).status, 0);
  EXPECT_EQ(ngctl({"name", "em0:lower", "t1"}).status, 0);
  EXPECT_EQ(ngctl({"connect", "t1:", "em0:", "right", "upper"}).status, 0);
  e2e::Proc p = ngctl({"show", "em0:"});
  EXPECT_EQ(p.status, 0);
  EXPECT_EQ(p.out,
            "  Name: em0             Type: ether           ID: 00000001   Num hooks: 2\n"
            "  Local hook      Peer name       Peer type    Peer ID     Peer hook\n"
            "  ----------      ---------       ---------    -------     ---------\n"
            "  lower           t1              tee          00000003    left\n"
            "  upper           t1              tee          00000003    right\n");
  p = ngctl({"list"});
  EXPECT_EQ(p.status, 0);
  EXPECT_EQ(p.out.substr(0, p.out.find('\n', p.out.find('\n', p.out.find('\n') + 1) + 1) + 1),
            "There are 3 total nodes:\n"
            "  Name: em0             Type: ether           ID: 00000001   Num hooks: 2\n"
            "  Name: t1              Type: tee             ID: 00000003   Num hooks: 2\n");
  EXPECT_EQ(ngctl({"rmhook", "em0:", "upper"}).status, 0);
  EXPECT_EQ(ngctl({"shutdown", "t1:"}).status, 0);
  EXPECT_EQ(k.graph()["nodes"].size(), 1u);

  p = ngctl({"show", "t1:"});
  EXPECT_EQ(p.status, 1);
  EXPECT_EQ(p.err, "ngctl: send msg: No such file or directory\n");
  EXPECT_EQ(p.out, "");
  p = ngctl({"name", "em0:", std::string(32, 'x')});
  EXPECT_EQ(p.status, 1);
  EXPECT_EQ(p.err, "ngctl: name \"" + std::string(32, 'x') + "\" is too long\n");
  for (const std::vector<std::string>& a : std::vector<std::vector<std::string>>{
           {}, {"bogus"}, {"show"}, {"mkpeer", "hub", "x"}, {"list", "extra"}}) {
    p = ngctl(a);
    EXPECT_EQ(p.status, 64);
    EXPECT_EQ(p.err, kUsage);
  }
  EXPECT_EQ(k.trace().size(), 8u) << "nothing sent for a rejected command line";
}

}  // namespace
