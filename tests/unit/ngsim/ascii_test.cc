// Control messages between their binary and ASCII forms, for the generic
// messages and those of every node type, and what is refused.
#include <gtest/gtest.h>

#include <errno.h>

#include <cstring>
#include <string>
#include <vector>

#include "ascii.h"
#include "msgs.h"
#include "parse_type.h"

namespace ngsim {
namespace {

constexpr uint32_t kGen = NGM_GENERIC_COOKIE;

template <typename T>
std::string raw(const T& x) {
  return std::string(reinterpret_cast<const char*>(&x), sizeof x);
}
std::string u32(uint32_t v) { return raw(v); }
std::string mac(const char* six) { return std::string(six, 6); }

nodeinfo node(const char* name, const char* type, uint32_t id, uint32_t hooks) {
  nodeinfo ni;
  memset(&ni, 0, sizeof ni);
  strcpy(ni.name, name);
  strcpy(ni.type, type);
  ni.id = id;
  ni.hooks = hooks;
  return ni;
}

linkinfo link_to(const char* ours, const char* peers, const nodeinfo& peer) {
  linkinfo li;
  memset(&li, 0, sizeof li);
  strcpy(li.ourhook, ours);
  strcpy(li.peerhook, peers);
  li.nodeinfo = peer;
  return li;
}

template <typename T>
std::string zeroed(void (*fill)(T&)) {
  T x;
  memset(&x, 0, sizeof x);
  fill(x);
  return raw(x);
}

std::string message(uint32_t cookie, uint32_t cmd, uint32_t flags, const std::string& arg,
                    const std::string& cmdstr = "") {
  ng_mesg h;
  memset(&h, 0, sizeof h);
  h.header.version = NG_VERSION;
  h.header.arglen = static_cast<uint32_t>(arg.size());
  h.header.cmd = cmd;
  h.header.flags = flags;
  h.header.token = 77;
  h.header.typecookie = cookie;
  memcpy(h.header.cmdstr, cmdstr.data(), std::min(cmdstr.size(), sizeof h.header.cmdstr));
  return raw(h) + arg;
}

// An ASCII message as a sender fills it in: flags, cmdstr and the text.
std::string ascii(const std::string& cmdstr, const std::string& text, uint32_t flags = 0) {
  std::string m = message(0, 0, flags, text + '\0', cmdstr);
  m[0] = 0;  // version: not needed
  return m;
}

struct Conv {
  int err = -1;
  ng_mesg::ng_msghdr h{};
  std::string arg;
  std::string text() const { return arg.substr(0, arg.find('\0')); }
  std::string cmdstr() const { return reinterpret_cast<const char*>(h.cmdstr); }
};

using ConvFn = int (*)(const std::string&, const uint8_t*, size_t, std::vector<uint8_t>&);

// Runs a conversion; a refused one must leave its output alone.
Conv run(ConvFn fn, const std::string& type, const std::string& in) {
  std::vector<uint8_t> out{0xa5};
  Conv c;
  c.err = fn(type, reinterpret_cast<const uint8_t*>(in.data()), in.size(), out);
  if (c.err != 0) {
    EXPECT_EQ(out, std::vector<uint8_t>{0xa5}) << "partial output";
    return c;
  }
  EXPECT_GE(out.size(), sizeof c.h);
  memcpy(&c.h, out.data(), sizeof c.h);
  c.arg.assign(reinterpret_cast<const char*>(out.data()) + sizeof c.h, out.size() - sizeof c.h);
  EXPECT_EQ(c.h.arglen, c.arg.size());
  return c;
}
Conv b2a(const std::string& type, const std::string& in) { return run(binary_to_ascii, type, in); }
Conv a2b(const std::string& type, const std::string& in) { return run(ascii_to_binary, type, in); }

const uint32_t kResp = NGF_RESP;

struct Case {
  const char* type;
  uint32_t cookie, cmd, flags;
  std::string arg;
  const char* cmdstr;
};

std::vector<Case> every_family() {
  nodeinfo em0 = node("em0", "ether", 1, 2), t1 = node("", "tee", 3, 2);
  std::string hooks = raw(em0) + raw(link_to("lower", "left", t1)) + raw(link_to("upper", "right", t1));
  std::string names = u32(2) + raw(em0) + raw(t1);
  std::string types = u32(2) + zeroed<typeinfo>([](typeinfo& t) {
                        strcpy(t.type_name, "hub");
                        t.numnodes = 4;
                      }) + zeroed<typeinfo>([](typeinfo&) {});
  std::string tee = zeroed<ng_tee_stats>([](ng_tee_stats& s) {
    s.left.inOctets = 1500;
    s.right2left.outFrames = UINT64_MAX;
  });
  std::string hole = zeroed<ng_hole_hookstat>([](ng_hole_hookstat& s) { s.frames = 9; });
  return {
      {"hub", kGen, NGM_SHUTDOWN, 0, "", "shutdown"},
      {"hub", kGen, NGM_MKPEER, 0, zeroed<ngm_mkpeer>([](ngm_mkpeer& m) {
         strcpy(m.type, "tee");
         strcpy(m.ourhook, "a\tb");
         strcpy(m.peerhook, "left");
       }), "mkpeer"},
      {"tee", kGen, NGM_CONNECT, 0, zeroed<ngm_connect>([](ngm_connect& m) {
         strcpy(m.path, "[2a]:lower");
         strcpy(m.ourhook, "right");
       }), "connect"},
      {"ether", kGen, NGM_NAME, 0, zeroed<ngm_name>([](ngm_name& m) { strcpy(m.name, "x"); }), "name"},
      {"ether", kGen, NGM_RMHOOK, 0, zeroed<ngm_rmhook>([](ngm_rmhook& m) { strcpy(m.ourhook, "upper"); }), "rmhook"},
      {"echo", kGen, NGM_NODEINFO, 0, "", "nodeinfo"},
      {"echo", kGen, NGM_NODEINFO, kResp, raw(t1), "nodeinfo"},
      {"ether", kGen, NGM_LISTHOOKS, kResp, hooks, "listhooks"},
      {"socket", kGen, NGM_LISTNAMES, kResp, u32(0), "listnames"},
      {"socket", kGen, NGM_LISTNODES, kResp, names, "listnodes"},
      {"socket", kGen, NGM_LISTTYPES, kResp, types, "listtypes"},
      {"pcap", kGen, NGM_TEXT_STATUS, kResp, std::string("up\n\"7\"", 7), "text_status"},
      {"socket", NGM_SOCKET_COOKIE, NGM_SOCK_CMD_NOLINGER, 0, "", "nolinger"},
      {"socket", NGM_SOCKET_COOKIE, NGM_SOCK_CMD_LINGER, 0, "", "linger"},
      {"hub", NGM_HUB_COOKIE, NGM_HUB_SET_PERSISTENT, 0, "", "setpersistent"},
      {"tee", NGM_TEE_COOKIE, NGM_TEE_GET_STATS, kResp, tee, "getstats"},
      {"tee", NGM_TEE_COOKIE, NGM_TEE_CLR_STATS, 0, "", "clrstats"},
      {"tee", NGM_TEE_COOKIE, NGM_TEE_GETCLR_STATS, kResp, tee, "getclrstats"},
      {"hole", NGM_HOLE_COOKIE, NGM_HOLE_GET_STATS, 0, std::string("h1", 3), "getstats"},
      {"hole", NGM_HOLE_COOKIE, NGM_HOLE_GET_STATS, kResp, hole, "getstats"},
      {"hole", NGM_HOLE_COOKIE, NGM_HOLE_CLR_STATS, 0, std::string("h1", 3), "clrstats"},
      {"hole", NGM_HOLE_COOKIE, NGM_HOLE_GETCLR_STATS, kResp, hole, "getclrstats"},
      {"ether", NGM_ETHER_COOKIE, NGM_ETHER_GET_IFNAME, kResp, std::string("em0", 4), "getifname"},
      {"ether", NGM_ETHER_COOKIE, NGM_ETHER_GET_IFINDEX, kResp, raw(int32_t(-2)), "getifindex"},
      {"ether", NGM_ETHER_COOKIE, NGM_ETHER_GET_ENADDR, kResp, mac("\x00\x1a\x2b\xff\x00\x01"), "getenaddr"},
      {"ether", NGM_ETHER_COOKIE, NGM_ETHER_SET_ENADDR, 0, mac("\x02\x00\x00\x00\x00\x01"), "setenaddr"},
      {"ether", NGM_ETHER_COOKIE, NGM_ETHER_SET_PROMISC, 0, raw(int32_t(1)), "setpromisc"},
      {"ether", NGM_ETHER_COOKIE, NGM_ETHER_GET_PROMISC, kResp, raw(int32_t(1)), "getpromisc"},
      {"ether", NGM_ETHER_COOKIE, NGM_ETHER_SET_AUTOSRC, 0, raw(int32_t(0)), "setautosrc"},
      {"ether", NGM_ETHER_COOKIE, NGM_ETHER_GET_AUTOSRC, kResp, raw(int32_t(1)), "getautosrc"},
      {"ether", NGM_ETHER_COOKIE, NGM_ETHER_ADD_MULTI, 0, mac("\x01\x00\x5e\x00\x00\xfb"), "addmulti"},
      {"ether", NGM_ETHER_COOKIE, NGM_ETHER_DEL_MULTI, 0, mac("\x01\x00\x5e\x00\x00\xfb"), "delmulti"},
      {"ether", NGM_ETHER_COOKIE, NGM_ETHER_DETACH, 0, "", "detach"},
      {"iface", NGM_IFACE_COOKIE, NGM_IFACE_GET_IFNAME, kResp, std::string("ng0", 4), "getifname"},
      {"iface", NGM_IFACE_COOKIE, NGM_IFACE_GET_IFINDEX, kResp, raw(int32_t(7)), "getifindex"},
      {"iface", NGM_IFACE_COOKIE, NGM_IFACE_POINT2POINT, 0, "", "point2point"},
      {"iface", NGM_IFACE_COOKIE, NGM_IFACE_BROADCAST, 0, "", "broadcast"},
      {"pcap", NGM_PCAP_COOKIE, NGM_PCAP_SET_SNAPLEN, 0, zeroed<ngm_pcap_snaplen>([](ngm_pcap_snaplen& a) {
         a.snaplen = 262144;
       }), "setsnaplen"},
      {"pcap", NGM_PCAP_COOKIE, NGM_PCAP_SET_TYPE, 0, zeroed<ngm_pcap_type>([](ngm_pcap_type& a) {
         strcpy(a.hook, "source7");
         strcpy(a.type, "inet6");
       }), "settype"},
      {"wormhole", NGM_WORMHOLE_COOKIE, NGM_WORMHOLE_OPEN, 0, std::string("vj1.inner", 10), "open"},
  };
}

TEST(AsciiForm, EveryMessageComesBackByteForByte) {
  for (const Case& c : every_family()) {
    SCOPED_TRACE(std::string(c.type) + " " + c.cmdstr + (c.flags ? " reply" : ""));
    Conv a = b2a(c.type, message(c.cookie, c.cmd, c.flags, c.arg));
    ASSERT_EQ(a.err, 0);
    EXPECT_EQ(a.cmdstr(), c.cmdstr);
    EXPECT_EQ(a.h.token, 77u);
    EXPECT_EQ(a.arg.back(), '\0');
    Conv b = a2b(c.type, ascii(c.cmdstr, a.text(), c.flags));
    ASSERT_EQ(b.err, 0) << a.text();
    EXPECT_EQ(b.h.version, NG_VERSION);
    EXPECT_EQ(b.h.typecookie, c.cookie);
    EXPECT_EQ(b.h.cmd, c.cmd);
    EXPECT_EQ(b.h.flags, c.flags);
    EXPECT_EQ(b.arg, c.arg) << a.text();
  }
}

TEST(AsciiForm, RepliesReadAsNgctlUsersKnowThem) {
  nodeinfo em0 = node("em0", "ether", 1, 2), t1 = node("t1", "tee", 0x1f, 2);
  struct {
    const char* type;
    uint32_t cookie, cmd;
    std::string arg;
    const char* text;
  } cases[] = {
      {"socket", kGen, NGM_NODEINFO, raw(node("", "socket", 0x2a, 0)), "{ type=\"socket\" id=0x2a }"},
      {"ether", kGen, NGM_LISTHOOKS,
       raw(em0) + raw(link_to("lower", "left", t1)) + raw(link_to("upper", "right", t1)),
       "{ nodeinfo={ name=\"em0\" type=\"ether\" id=0x1 hooks=2 } linkinfo=["
       " { ourhook=\"lower\" peerhook=\"left\" nodeinfo={ name=\"t1\" type=\"tee\" id=0x1f hooks=2 } }"
       " { ourhook=\"upper\" peerhook=\"right\" nodeinfo={ name=\"t1\" type=\"tee\" id=0x1f hooks=2 } } ] }"},
      {"socket", kGen, NGM_LISTNODES, u32(0), "{}"},
      {"socket", kGen, NGM_LISTTYPES, u32(2) + raw(typeinfo{}) + raw(typeinfo{"hub", 1}),
       "{ numtypes=2 typeinfo=[ 1={ typename=\"hub\" numnodes=1 } ] }"},
      {"ether", NGM_ETHER_COOKIE, NGM_ETHER_GET_ENADDR, mac("\x00\x1a\x2b\xff\x00\x01"), "00:1a:2b:ff:00:01"},
      {"ether", NGM_ETHER_COOKIE, NGM_ETHER_GET_IFNAME, std::string("a\"b\\c\n\x01" "9\0junk", 13),
       "\"a\\\"b\\\\c\\n\\0019\""},
      {"ether", NGM_ETHER_COOKIE, NGM_ETHER_GET_PROMISC, raw(int32_t(0)), "0"},
      {"tee", NGM_TEE_COOKIE, NGM_TEE_GET_STATS, raw(ng_tee_stats{}), "{}"},
      {"tee", NGM_TEE_COOKIE, NGM_TEE_GET_STATS,
       zeroed<ng_tee_stats>([](ng_tee_stats& s) { s.left2right.outFrames = 3; }),
       "{ left2right={ outFrames=3 } }"},
  };
  for (const auto& c : cases) {
    Conv a = b2a(c.type, message(c.cookie, c.cmd, kResp, c.arg));
    ASSERT_EQ(a.err, 0) << c.text;
    EXPECT_EQ(a.text(), c.text);
  }
}

TEST(AsciiForm, InputMayOmitDefaultsReorderFieldsAndPlaceElements) {
  nodeinfo hub = node("", "hub", 0, 0);
  struct {
    const char* type;
    const char* cmdstr;
    uint32_t flags;
    const char* text;
    std::string arg;
  } cases[] = {
      {"hub", "mkpeer", 0, " {peerhook=\"b\"\ttype=\"tee\"\n ourhook = \"a\" } ",
       zeroed<ngm_mkpeer>([](ngm_mkpeer& m) {
         strcpy(m.type, "tee");
         strcpy(m.ourhook, "a");
         strcpy(m.peerhook, "b");
       })},
      {"hub", "name", 0, "{}", raw(ngm_name{})},
      {"hub", "name", 0, "{ name=\"x\" name=\"y\" }", zeroed<ngm_name>([](ngm_name& m) { m.name[0] = 'y'; })},
      {"hub", "nodeinfo", 0, "", ""},
      {"ether", "setpromisc", 0, " \n", ""},
      {"hub", "nodeinfo", kResp, "{ id=0x10 hooks=010 }", raw(node("", "", 16, 8))},
      {"ether", "setpromisc", 0, "-2147483648", raw(INT32_MIN)},
      {"ether", "setenaddr", 0, "0:A:bc:d:e:F", mac("\x00\x0a\xbc\x0d\x0e\x0f")},
      {"wormhole", "open", 0, "\"\\x41\\101\\7\\?\\'\"", std::string("AA\a?'", 6)},
      // Index, count and elements: the array is as long as either says.
      {"hub", "listnodes", kResp, "{ nodeinfo=[ 1={ type=\"hub\" } ] }", u32(2) + raw(nodeinfo{}) + raw(hub)},
      {"hub", "listnodes", kResp, "{ nodeinfo=[ { type=\"hub\" } ] numnames=2 }",
       u32(2) + raw(hub) + raw(nodeinfo{})},
      {"hub", "listhooks", kResp, "{ linkinfo=[ {} { ourhook=\"a\" } ] }",
       raw(node("", "", 0, 2)) + raw(linkinfo{}) + raw(link_to("a", "", nodeinfo{}))},
  };
  for (const auto& c : cases) {
    Conv b = a2b(c.type, ascii(c.cmdstr, c.text, c.flags));
    ASSERT_EQ(b.err, 0) << c.text;
    EXPECT_EQ(b.arg, c.arg) << c.text;
  }
}

TEST(AsciiForm, FixedArraysTakeIndexedElements) {
  static constexpr parse::Type kByte = parse::scalar(parse::Kind::UInt8, 1);
  static constexpr parse::Type kFour = parse::fixed_array(kByte, 4);
  parse::Value v;
  std::vector<uint8_t> bin;
  ASSERT_EQ(parse::parse(kFour, "[ 7 2=9 1 ]", v), 0);
  ASSERT_EQ(parse::encode(kFour, v, bin), 0);
  EXPECT_EQ(bin, (std::vector<uint8_t>{7, 0, 9, 1}));
  std::string text;
  parse::unparse(kFour, v, text);
  EXPECT_EQ(text, "[ 7 2=9 1 ]");
  EXPECT_EQ(parse::parse(kFour, "[ 4=1 ]", v), EINVAL);
}

TEST(AsciiForm, HostileBinaryIsRefused) {
  std::string listhooks = raw(node("", "hub", 1, 3)) + raw(linkinfo{}) + raw(linkinfo{});
  std::string short_hdr = message(kGen, NGM_NODEINFO, kResp, raw(nodeinfo{})).substr(0, 55);
  std::string long_arglen = message(kGen, NGM_NODEINFO, kResp, raw(nodeinfo{}));
  long_arglen[4] = 73;
  struct {
    const char* type;
    std::string msg;
    int err;
  } cases[] = {
      {"hub", "", EINVAL},
      {"hub", short_hdr, EINVAL},
      {"hub", long_arglen, EINVAL},
      {"hub", message(kGen, 99, 0, ""), ENOSYS},
      {"hub", message(kGen, NGM_BINARY2ASCII, 0, ""), ENOSYS},
      {"hub", message(NGM_TEE_COOKIE, NGM_TEE_GET_STATS, kResp, raw(ng_tee_stats{})), ENOSYS},
      {"echo", message(NGM_HOLE_COOKIE, NGM_HOLE_GET_STATS, 0, std::string("h", 2)), ENOSYS},
      {"hub", message(kGen, NGM_NODEINFO & 0xff, kResp, raw(nodeinfo{})), ENOSYS},
      {"hub", message(kGen, NGM_SHUTDOWN, 0, "x"), EINVAL},
      {"hub", message(kGen, NGM_NODEINFO, kResp, raw(nodeinfo{}).substr(1)), EINVAL},
      {"hub", message(kGen, NGM_NODEINFO, kResp, raw(nodeinfo{}) + "x"), EINVAL},
      {"hub", message(kGen, NGM_NODEINFO, kResp, raw(nodeinfo{}).replace(0, 32, 32, 'x')), EINVAL},
      {"hub", message(kGen, NGM_LISTHOOKS, kResp, listhooks), EINVAL},
      {"hub", message(kGen, NGM_LISTHOOKS, kResp, raw(node("", "hub", 1, 0xffffffff))), EINVAL},
      {"hub", message(kGen, NGM_LISTNODES, kResp, u32(0x7fffffff)), EINVAL},
      {"hub", message(kGen, NGM_LISTTYPES, kResp, "\x01\x00"), EINVAL},
      {"hub", message(kGen, NGM_TEXT_STATUS, kResp, std::string(NG_TEXTRESPONSE, 'a') + '\0'), EINVAL},
      {"ether", message(NGM_ETHER_COOKIE, NGM_ETHER_GET_IFNAME, kResp, "em0"), EINVAL},
      {"ether", message(NGM_ETHER_COOKIE, NGM_ETHER_GET_ENADDR, kResp, "\x01\x02\x03\x04\x05"), EINVAL},
      {"ether", message(NGM_ETHER_COOKIE, NGM_ETHER_GET_IFINDEX, kResp, "\x01\x02"), EINVAL},
      {"pcap", message(NGM_PCAP_COOKIE, NGM_PCAP_SET_TYPE, 0, std::string(40, 'x')), EINVAL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.msg.size()) + " bytes, type " + c.type);
    EXPECT_EQ(b2a(c.type, c.msg).err, c.err);
  }
}

TEST(AsciiForm, TextThatDoesNotParseIsRefused) {
  std::string no_nul_cmdstr = ascii("nodeinfo", "");
  memset(&no_nul_cmdstr[24], 'x', 32);
  std::string long_arglen = ascii("name", "{}");
  long_arglen[4] = 9;
  struct {
    const char* type;
    std::string msg;
    int err;
  } cases[] = {
      {"hub", "", EINVAL},
      {"hub", no_nul_cmdstr, EINVAL},
      {"hub", long_arglen, EINVAL},
      {"hub", ascii("bogus", ""), ENOSYS},
      {"hub", ascii("binary2ascii", ""), ENOSYS},
      {"ether", ascii("getstats", ""), ENOSYS},
      {"hub", ascii("shutdown", "1"), EINVAL},
      {"hub", ascii("nodeinfo", "{}"), EINVAL},
      {"hub", ascii("name", "{ name=\"x\""), EINVAL},
      {"hub", ascii("name", "{ name=\"x }"), EINVAL},
      {"hub", ascii("name", "{ nam=\"x\" }"), EINVAL},
      {"hub", ascii("name", "{ name \"x\" }"), EINVAL},
      {"hub", ascii("name", "{ name=x }"), EINVAL},
      {"hub", ascii("name", "{ name=\"" + std::string(NG_NODESIZ, 'x') + "\" }"), EINVAL},
      {"hub", ascii("name", "{ name=\"a\\0b\" }"), EINVAL},
      {"hub", ascii("name", "{} {}"), EINVAL},
      {"hub", ascii("name", "[]"), EINVAL},
      {"wormhole", ascii("open", "\"\\q\""), EINVAL},
      {"wormhole", ascii("open", "\"\\x\""), EINVAL},
      {"wormhole", ascii("open", "\"\\400\""), EINVAL},
      {"wormhole", ascii("open", "\"" + std::string(parse::kMaxText, 'a') + "\""), EINVAL},
      {"ether", ascii("setpromisc", "2147483648"), EINVAL},
      {"ether", ascii("setpromisc", "-2147483649"), EINVAL},
      {"ether", ascii("setpromisc", "0x"), EINVAL},
      {"ether", ascii("setpromisc", "08"), EINVAL},
      {"ether", ascii("setpromisc", "1x"), EINVAL},
      {"ether", ascii("setpromisc", "--1"), EINVAL},
      {"ether", ascii("setpromisc", "99999999999999999999999"), EINVAL},
      {"pcap", ascii("setsnaplen", "{ flags=256 }"), EINVAL},
      {"pcap", ascii("setsnaplen", "{ snaplen=-1 }"), EINVAL},
      {"ether", ascii("setenaddr", "00:11:22:33:44"), EINVAL},
      {"ether", ascii("setenaddr", "00:11:22:33:44:55:66"), EINVAL},
      {"ether", ascii("setenaddr", "000:11:22:33:44:55"), EINVAL},
      {"ether", ascii("setenaddr", "\"00:11:22:33:44:55\""), EINVAL},
      {"hub", ascii("listtypes", "{ typeinfo=" + std::string(100000, '['), kResp), EINVAL},
      {"hub", ascii("listtypes", "{ typeinfo=[ 4000000000={} ] }", kResp), EINVAL},
      {"hub", ascii("listtypes", "{ typeinfo=[ 10000={} ] }", kResp), EINVAL},
      {"hub", ascii("listtypes", "{ numtypes=4000000 }", kResp), EINVAL},
      {"hub", ascii("listtypes", "{ typeinfo=[ x={} ] }", kResp), EINVAL},
      {"hub", ascii("listtypes", "{ typeinfo=[ {} ", kResp), EINVAL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.msg.size() > sizeof(ng_mesg) ? c.msg.substr(sizeof(ng_mesg), 80) : "no text");
    EXPECT_EQ(a2b(c.type, c.msg).err, c.err);
  }
}

}  // namespace
}  // namespace ngsim
