// Which kernel files a program loads, seen in the emulated kernel's linker:
// a module that any loaded file provides is not loaded again, and a name
// counts only whole, after at most one bus prefix. hooktap loads its
// modules before it resolves its jail, so a jail that does not exist ends
// the run right after the loads, with nothing else made.
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

// Whether the kernel file `file` is loaded.
bool loaded(e2e::Kernel& k, const std::string& file) {
  for (const auto& f : k.kld())
    if (f.value("file", "") == file) return f.value("loaded", false);
  ADD_FAILURE() << "no kernel file " << file;
  return false;
}

void hooktap_loads_then_fails() {
  e2e::Proc p = e2e::run({e2e::bin_path("hooktap"), "-j", "nosuch", "ether:em0:lower"});
  EXPECT_EQ(p.status, 68) << p.err;
  EXPECT_EQ(p.err, "hooktap: jail \"nosuch\" not found\n");
}

TEST(Modules, ProvidedUnderABusPrefixIsNotLoadedAgain) {
  e2e::Kernel k;
  k.ok({"kld", "add", "busdrv.ko", "x/ng_socket", "--loaded"});
  hooktap_loads_then_fails();
  EXPECT_FALSE(loaded(k, "ng_socket.ko"));
  EXPECT_TRUE(loaded(k, "ng_pcap.ko"));
  // Once loaded, nothing is loaded a second time.
  hooktap_loads_then_fails();
  EXPECT_TRUE(loaded(k, "ng_pcap.ko"));
}

TEST(Modules, DeeperPrefixesAndLongerNamesDoNotCount) {
  e2e::Kernel k;
  k.ok({"kld", "add", "deep.ko", "x/y/ng_socket", "--loaded"});
  k.ok({"kld", "add", "longer.ko", "ng_socket2", "ng_pcap_extra", "--loaded"});
  hooktap_loads_then_fails();
  EXPECT_TRUE(loaded(k, "ng_socket.ko"));
  EXPECT_TRUE(loaded(k, "ng_pcap.ko"));
}

TEST(Modules, LoadingIsRefusedToOtherUsers) {
  e2e::Kernel k;
  e2e::RunOpts nobody;
  nobody.as_nobody = true;
  // The program lies in a folder only root may enter, as a checkout under
  // /root does: the other user runs it all the same.
  const std::string hidden = k.path("hidden"), riftlink = hidden + "/riftlink";
  ASSERT_EQ(mkdir(hidden.c_str(), 0700), 0);
  std::filesystem::copy_file(e2e::bin_path("riftlink"), riftlink);
  e2e::Proc p = e2e::run({riftlink, "1"}, nobody);
  // riftlink resolves its jails first; jail 1 does not exist yet.
  EXPECT_EQ(p.status, 68);
  EXPECT_EQ(p.err, "riftlink: jail 1 not found\n");
  k.jail("vj1");
  p = e2e::run({riftlink, "vj1"}, nobody);
  EXPECT_EQ(p.status, 77);
  EXPECT_EQ(p.err,
            "riftlink: kld_ensure_load: unable to load kernel module \"ng_socket\": "
            "Operation not permitted\n");
  EXPECT_FALSE(loaded(k, "ng_socket.ko"));
}

}  // namespace
