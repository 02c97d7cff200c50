// The wormhole routines: the bytes of every control message they send, the
// far end they pick from a hook listing, and each of their reports.
#include <errno.h>
#include <sysexits.h>

#include <cstring>
#include <functional>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_util.h"
#include "wormhole.h"

using ::testing::ElementsAre;
using ::testing::Eq;
using ::testing::ExitedWithCode;
using fake::state;

namespace {

constexpr int kCtrl = fake::kCtrlBase;
const std::string kOpenCmd = std::to_string(NGM_WORMHOLE_OPEN);
const std::string kListCmd = std::to_string(NGM_LISTHOOKS);
const std::string kInfoCmd = std::to_string(NGM_NODEINFO);

void fail_send(uint32_t cmd, int err, int nth = 0) {
  state().send_faults.push_back({cmd, err, nth});
}

class WhCreate : public FakeTest {};
class WhOpen : public FakeTest {};
class WhNameConnect : public FakeTest {};
class WhRefusal : public FakeTest {};

TEST_F(WhCreate, MakesWormholeOnTmpAndReadsItsId) {
  EXPECT_EQ(wh_create(kCtrl), 12u);
  EXPECT_THAT(state().log, ElementsAre("send . 2", "send .:tmp " + kInfoCmd, "recv"));

  const auto& mkpeer = state().sent[0];
  EXPECT_EQ(mkpeer.ctrl, kCtrl);
  EXPECT_EQ(mkpeer.cookie, uint32_t(NGM_GENERIC_COOKIE));
  EXPECT_EQ(mkpeer.arg, field("wormhole", 32) + field("tmp", 32) + field("evthorizon", 32));
  const auto& info = state().sent[1];
  EXPECT_EQ(info.cookie, uint32_t(NGM_GENERIC_COOKIE));
  EXPECT_EQ(info.arg, "");

  // A second near end takes the next ID the kernel gives.
  EXPECT_EQ(wh_create(kCtrl), 13u);
}

TEST_F(WhCreate, RefusesShortReplyAndNodeZero) {
  // One byte short of a node information record, whatever the header says.
  state().edit_reply = [](const fake::Sent&, std::string& rep) { rep.resize(rep.size() - 1); };
  EXPECT_EXIT(wh_create(kCtrl), ExitedWithCode(EX_OSERR),
              Eq(errx_line("unable to retrieve wormhole info, presumed dead")));

  // A header that claims less than the bytes received is short as well.
  state().edit_reply = [](const fake::Sent&, std::string& rep) {
    reinterpret_cast<ng_mesg*>(&rep[0])->header.arglen = 8;
  };
  EXPECT_EXIT(wh_create(kCtrl), ExitedWithCode(EX_OSERR),
              Eq(errx_line("unable to retrieve wormhole info, presumed dead")));

  // ID 0 is reported with whatever errno holds then.
  state().edit_reply = [](const fake::Sent&, std::string& rep) {
    reinterpret_cast<nodeinfo*>(&rep[sizeof(ng_mesg)])->id = 0;
    errno = EDOM;
  };
  EXPECT_EXIT(wh_create(kCtrl), ExitedWithCode(EX_OSERR),
              Eq(err_line("invalid node id for wormhole, presumed dead", EDOM)));
  state().next_node_id = 0;
  state().edit_reply = [](const fake::Sent&, std::string&) { errno = EPERM; };
  EXPECT_EXIT(wh_create(kCtrl), ExitedWithCode(EX_NOPERM),
              Eq(err_line("invalid node id for wormhole, presumed dead", EPERM)));
}

TEST_F(WhOpen, OpensListsAndFreesEvthorizon) {
  EXPECT_EQ(wh_open(kCtrl, 12, "vj1"), 12u + 0x100);
  EXPECT_THAT(state().log,
              ElementsAre("send [0000000c]: " + kOpenCmd, "send [0000000c]: " + kListCmd,
                          "recv", "send [0000000c]: 5"));
  const auto& open = state().sent[0];
  EXPECT_EQ(open.cookie, 1742462349u);
  EXPECT_EQ(open.arg, std::string("vj1", 4));  // the NUL travels too
  EXPECT_EQ(state().sent[1].cookie, uint32_t(NGM_GENERIC_COOKIE));
  EXPECT_EQ(state().sent[1].arg, "");
  EXPECT_EQ(state().sent[2].cookie, uint32_t(NGM_GENERIC_COOKIE));
  EXPECT_EQ(state().sent[2].arg, field("evthorizon", 32));
}

TEST_F(WhOpen, PicksTheTwinFromEitherLink) {
  state().twin_first = true;
  EXPECT_EQ(wh_open(kCtrl, 0x2a, "7"), 0x2au + 0x100);
  state().twin_first = false;
  EXPECT_EQ(wh_open(kCtrl, 0x2a, "7"), 0x2au + 0x100);

  // When both peers are wormholes, link 0 wins.
  state().edit_reply = [](const fake::Sent&, std::string& rep) {
    auto* hl = reinterpret_cast<hooklist*>(&rep[sizeof(ng_mesg)]);
    snprintf(hl->link[0].nodeinfo.type, NG_TYPESIZ, "wormhole");
    hl->link[0].nodeinfo.id = 0x77;
  };
  EXPECT_EQ(wh_open(kCtrl, 0x2a, "7"), 0x77u);
}

TEST_F(WhOpen, PassesALongJailReferenceUnchanged) {
  std::string jail(255, 'j');
  wh_open(kCtrl, 12, jail.c_str());
  EXPECT_EQ(state().sent[0].arg, jail + std::string(1, '\0'));
}

TEST_F(WhOpen, RefusesShortListingAndTwinZero) {
  // Node information and one link only: in the bytes received, and in what
  // the header claims of bytes that are all there.
  for (bool claim : {false, true}) {
    state().edit_reply = [claim](const fake::Sent&, std::string& rep) {
      if (claim)
        reinterpret_cast<ng_mesg*>(&rep[0])->header.arglen -= sizeof(linkinfo);
      else
        rep.resize(rep.size() - sizeof(linkinfo));
    };
    EXPECT_EXIT(wh_open(kCtrl, 12, "vj1"), ExitedWithCode(EX_OSERR),
                Eq(errx_line("unable to get response for wormhole node list, presumed dead")));
  }

  state().edit_reply = [](const fake::Sent& s, std::string& rep) {
    if (s.cmd != NGM_LISTHOOKS) return;
    auto* hl = reinterpret_cast<hooklist*>(&rep[sizeof(ng_mesg)]);
    hl->link[1].nodeinfo.id = 0;
  };
  EXPECT_EXIT(wh_open(kCtrl, 12, "vj1"), ExitedWithCode(EX_OSERR),
              Eq(errx_line("invalid node id for wormhole, presumed dead")));
}

TEST_F(WhOpen, AssertsTheTwoHookContract) {
  state().edit_reply = [](const fake::Sent&, std::string& rep) {
    reinterpret_cast<hooklist*>(&rep[sizeof(ng_mesg)])->nodeinfo.hooks = 3;
  };
  EXPECT_DEATH(wh_open(kCtrl, 12, "vj1"), "wh_open.*ninfo->hooks == 2");
  state().edit_reply = [](const fake::Sent&, std::string& rep) {
    auto* hl = reinterpret_cast<hooklist*>(&rep[sizeof(ng_mesg)]);
    snprintf(hl->link[1].nodeinfo.type, NG_TYPESIZ, "hub");
  };
  EXPECT_DEATH(wh_open(kCtrl, 12, "vj1"),
               "strcmp\\(hlist->link\\[1\\].nodeinfo.type, NG_WORMHOLE_NODE_TYPE\\) == 0");
}

TEST_F(WhNameConnect, NullNameOrPeerSendsNothing) {
  wh_name(kCtrl, 12, nullptr);
  wh_connect(kCtrl, 12, nullptr, nullptr);
  wh_connect(kCtrl, 12, nullptr, "lower");
  EXPECT_TRUE(state().sent.empty());
}

TEST_F(WhNameConnect, NameBytes) {
  std::string name(30, 'n');
  wh_name(kCtrl, 0xab, name.c_str());
  ASSERT_EQ(state().sent.size(), 1u);
  EXPECT_EQ(state().sent[0].path, "[000000ab]:");
  EXPECT_EQ(state().sent[0].cmd, uint32_t(NGM_NAME));
  EXPECT_EQ(state().sent[0].cookie, uint32_t(NGM_GENERIC_COOKIE));
  EXPECT_EQ(state().sent[0].arg, field(name, 32));

  EXPECT_DEATH(wh_name(kCtrl, 12, std::string(31, 'n').c_str()),
               "wh_name.*strlen\\(name\\) < NG_NODELEN");
}

TEST_F(WhNameConnect, ConnectBytes) {
  std::string hook(30, 'h');
  wh_connect(kCtrl, 12, "em0", hook.c_str());
  // The collapse: first near end to the second's evthorizon.
  wh_connect(kCtrl, 12, "[0000000d]", "evthorizon");
  ASSERT_EQ(state().sent.size(), 2u);
  for (const auto& s : state().sent) {
    EXPECT_EQ(s.path, "[0000000c]:");
    EXPECT_EQ(s.cmd, uint32_t(NGM_CONNECT));
    EXPECT_EQ(s.cookie, uint32_t(NGM_GENERIC_COOKIE));
  }
  EXPECT_EQ(state().sent[0].arg, field("em0:", 512) + field("evthorizon", 32) + field(hook, 32));
  EXPECT_EQ(state().sent[1].arg,
            field("[0000000d]:", 512) + field("evthorizon", 32) + field("evthorizon", 32));
}

// Every refusal of the four routines: its report and status. A row's
// command is the one whose send fails; 0 stands for the reply not received.
TEST_F(WhRefusal, EachReportsAndExits) {
  struct Row {
    std::function<void()> call;
    uint32_t cmd;
    int err, status;
    std::string out;
  };
  auto create = [] { wh_create(kCtrl); };
  auto open = [] { wh_open(kCtrl, 12, "vj1"); };
  auto name = [] { wh_name(kCtrl, 12, "gw"); };
  auto connect = [](const char* peer, const char* hook) {
    return [=] { wh_connect(kCtrl, 12, peer, hook); };
  };
  const std::string info = "unable to request wormhole info, presumed dead";
  const std::string opened = "unable to open wormhole in `vj1'";
  const std::string to_em0 = "unable to connect `[0000000c]:evthorizon' to `em0:lower'";
  const std::string collapse =
      "forbidden: collapse would result in connected wormholes in the same vnet";
  const Row rows[] = {
      {create, NGM_MKPEER, EPERM, EX_NOPERM, err_line("unable to create wormhole", EPERM)},
      {create, NGM_MKPEER, EEXIST, EX_OSERR, err_line("unable to create wormhole", EEXIST)},
      {create, NGM_NODEINFO, ENOENT, EX_OSERR, errx_line(info)},
      {create, NGM_NODEINFO, EPERM, EX_NOPERM, errx_line(info)},
      {create, 0, EIO, EX_OSERR, err_line("unable to retrieve wormhole info, presumed dead", EIO)},
      {open, NGM_WORMHOLE_OPEN, EPERM, EX_NOPERM, errx_line(opened)},
      {open, NGM_WORMHOLE_OPEN, ENOENT, EX_OSERR, errx_line(opened)},
      {open, NGM_LISTHOOKS, ENOENT, EX_OSERR,
       errx_line("unable to request wormhole node list, presumed dead")},
      {open, 0, EPERM, EX_NOPERM,
       errx_line("unable to get response for wormhole node list, presumed dead")},
      {open, NGM_RMHOOK, EINVAL, EX_OSERR,
       errx_line("unable to rmhook `evthorizon' from `[0000000c]:'")},
      {name, NGM_NAME, EADDRINUSE, EX_OSERR, err_line("failed to name `[0000000c]:'", EADDRINUSE)},
      {name, NGM_NAME, EPERM, EX_NOPERM, err_line("failed to name `[0000000c]:'", EPERM)},
      // A connect is a data error whatever errno says; only the exact hook
      // name evthorizon marks the peer as a wormhole.
      {connect("[0000000d]", "evthorizon"), NGM_CONNECT, EINVAL, EX_DATAERR,
       err_line("unable to connect to `[0000000d]:evthorizon', not opened", EINVAL)},
      {connect("[0000000d]", "EVTHORIZON"), NGM_CONNECT, EINVAL, EX_DATAERR,
       err_line("unable to connect `[0000000c]:evthorizon' to `[0000000d]:EVTHORIZON'", EINVAL)},
      {connect("em0", "lower"), NGM_CONNECT, EINVAL, EX_DATAERR, err_line(to_em0, EINVAL)},
      {connect("[0000000d]", "evthorizon"), NGM_CONNECT, EDOOFUS, EX_DATAERR,
       prog() + ": " + collapse + ": Programming error\n"},
      {connect("em0", "lower"), NGM_CONNECT, EDOOFUS, EX_DATAERR,
       prog() + ": " + to_em0 + ": Programming error\n"},
      {connect("em0", "lower"), NGM_CONNECT, EPERM, EX_DATAERR, err_line(to_em0, EPERM)},
      {connect("[0000000d]", "evthorizon"), NGM_CONNECT, EEXIST, EX_DATAERR,
       err_line("unable to connect `[0000000c]:evthorizon' to `[0000000d]:evthorizon'", EEXIST)},
  };
  for (const Row& r : rows) {
    fake::reset();
    if (r.cmd != 0)
      fail_send(r.cmd, r.err);
    else
      state().recv_errno = r.err;
    EXPECT_EXIT(r.call(), ExitedWithCode(r.status), Eq(r.out)) << r.out;
  }
}

}  // namespace
