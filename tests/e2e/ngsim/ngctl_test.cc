// The small ngctl: what it prints and how it fails.
#include <gtest/gtest.h>

#include <algorithm>

#include "harness.h"

namespace {

const char kUsage[] =
    "usage: ngctl [-f file] [-n name] [command ...]\n"
    "       ngctl connect [path] relpath hook peerhook\n"
    "       ngctl help [command]\n"
    "       ngctl list [-ln]\n"
    "       ngctl mkpeer [path] type hook peerhook\n"
    "       ngctl msg path command [args ...]\n"
    "       ngctl name path name\n"
    "       ngctl rmhook [path] hook\n"
    "       ngctl show path\n"
    "       ngctl shutdown path\n"
    "       ngctl status path\n"
    "       ngctl types\n";

e2e::Proc ngctl(const std::vector<std::string>& args, const e2e::RunOpts& opts = {}) {
  std::vector<std::string> argv{e2e::bin_path("ngctl")};
  argv.insert(argv.end(), args.begin(), args.end());
  return e2e::run(argv, opts);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
    lines.push_back(text.substr(at, nl - at));
  return lines;
}

bool has_line(const std::string& text, const std::string& line) {
  std::vector<std::string> l = lines_of(text);
  return std::find(l.begin(), l.end(), line) != l.end();
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
           {"bogus"}, {"show"}, {"mkpeer", "hub", "x"}, {"list", "extra"}, {"list", "-x"},
           {"types", "x"}, {"help", "a", "b"}, {"-x"}, {"-f"}, {"-f", "x", "list"}}) {
    p = ngctl(a);
    EXPECT_EQ(p.status, 64);
    EXPECT_EQ(p.err, kUsage);
  }
  p = ngctl({"-f", k.path("missing")});
  EXPECT_EQ(p.status, 1);
  EXPECT_EQ(p.err, "ngctl: " + k.path("missing") + ": No such file or directory\n");
  EXPECT_EQ(k.trace().size(), 8u) << "nothing sent for a rejected command line";
}

TEST(Ngctl, ListsTypesWithTheirLivingNodes) {
  e2e::Kernel k;
  k.ok({"kld", "load", "ng_socket"});
  k.iface("em0");
  k.iface("em1");
  e2e::Proc p = ngctl({"types"});
  EXPECT_EQ(p.status, 0);
  std::vector<std::string> lines = lines_of(p.out);
  ASSERT_GE(lines.size(), 3u) << p.out;
  EXPECT_EQ(lines[0], "There are " + std::to_string(lines.size() - 3) + " total types:");
  EXPECT_EQ(lines[1], "\tType name\tNumber of living nodes");
  EXPECT_EQ(lines[2], "\t---------\t----------------------");
  EXPECT_TRUE(has_line(p.out, "\tether           2")) << p.out;
  EXPECT_TRUE(has_line(p.out, "\tsocket          1")) << "ngctl's own node";
  EXPECT_TRUE(has_line(p.out, "\thub             0")) << p.out;
}

TEST(Ngctl, ListLongShowsEachNodeAsShowDoes) {
  e2e::Kernel k;
  k.ok({"kld", "load", "ng_socket"});
  k.iface("em0");
  ASSERT_EQ(ngctl({"mkpeer", "em0:", "tee", "lower", "left"}).status, 0);
  ASSERT_EQ(ngctl({"name", "em0:lower", "t1"}).status, 0);
  e2e::Proc p = ngctl({"-n", "me", "list", "-l"});
  EXPECT_EQ(p.status, 0);
  // ngctl's own node comes last, named as -n says, with an ID of its own.
  const std::string self = "  Name: me              Type: socket          ID: ";
  size_t at = p.out.find(self);
  ASSERT_NE(at, std::string::npos) << p.out;
  EXPECT_EQ(p.out.substr(0, at),
            "There are 3 total nodes:\n" + ngctl({"show", "em0:"}).out + ngctl({"show", "t1:"}).out);
  EXPECT_EQ(p.out.substr(at + self.size() + 8), "   Num hooks: 0\n");

  // Without -n, it is named after ngctl and its process ID.
  p = ngctl({"ls", "-n"});
  EXPECT_EQ(p.status, 0);
  EXPECT_EQ(p.out.substr(0, p.out.rfind("  Name: ngctl")),
            "There are 3 total named nodes:\n"
            "  Name: em0             Type: ether           ID: 00000001   Num hooks: 1\n"
            "  Name: t1              Type: tee             ID: 00000003   Num hooks: 1\n");
}

TEST(Ngctl, HelpSummarisesEveryCommandWithoutAKernel) {
  e2e::Proc p = ngctl({"help"});
  EXPECT_EQ(p.status, 0);
  EXPECT_EQ(lines_of(p.out).at(0), "Available commands:");
  for (const std::string& u : lines_of(kUsage)) {
    std::string name = u.substr(u.find("ngctl ") + 6);
    if (name[0] == '[') continue;
    name = name.substr(0, name.find(' '));
    EXPECT_NE(p.out.find("\n  " + name + std::string(11 - name.size(), ' ')), std::string::npos) << name;
  }
  p = ngctl({"help", "ls"});
  EXPECT_EQ(p.status, 0);
  EXPECT_EQ(p.out,
            "Usage:    list [-ln]\n"
            "Summary:  Show information about all nodes\n"
            "Aliases:  ls\n");
  p = ngctl({"help", "bogus"});
  EXPECT_EQ(p.status, 1);
  EXPECT_EQ(p.err, "ngctl: unknown command \"bogus\"\n");
}

// Commands one a line, from a file or standard input: one socket node runs
// them in order, and the first failure ends the run with its report.
TEST(Ngctl, RunsCommandsFromAFileOrStandardInput) {
  struct {
    const char* what;
    std::string script;
    int status;
    std::string out, err;
    bool ran_last;
  } cases[] = {
      {"every line", "# name the node, then look\n\n  name . me\n\tshow me:\nmkpeer em0: tee upper left\n", 0,
       "  Name: me              Type: socket          ID: 00000002   Num hooks: 0\n", "", true},
      {"nothing", "", 0, "", "", false},
      {"a failure", "show nosuch:\nmkpeer em0: tee upper left\n", 1, "",
       "ngctl: send msg: No such file or directory\n", false},
      {"a usage error", "list -x\nmkpeer em0: tee upper left\n", 64, "", kUsage, false},
  };
  for (const auto& c : cases) {
    for (const char* how : {"file", "-f -", "stdin"}) {
      SCOPED_TRACE(std::string(c.what) + " from " + how);
      e2e::Kernel k;
      k.ok({"kld", "load", "ng_socket"});
      k.iface("em0");
      e2e::write_file(k.path("script"), c.script);
      e2e::Proc p = how == std::string("file") ? ngctl({"-f", k.path("script")})
                    : how == std::string("-f -") ? ngctl({"-f", "-"}, e2e::with_input(c.script))
                                                 : ngctl({}, e2e::with_input(c.script));
      EXPECT_EQ(p.status, c.status);
      EXPECT_EQ(p.out, c.out);
      EXPECT_EQ(p.err, c.err);
      EXPECT_EQ(e2e::hook_of(*e2e::node_named(k.graph(), "em0"), "upper") != nullptr, c.ran_last);
    }
  }
}

}  // namespace
