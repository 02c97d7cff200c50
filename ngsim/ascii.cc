/*
 * The ASCII forms of control messages: one table of commands for the
 * generic messages and one per node type, each command with the parse
 * types of its argument and of its reply.
 */
#include "ascii.h"
#include "msgs.h"
#include "parse_type.h"

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace ngsim {

namespace {

using parse::Field;
using parse::Kind;
using parse::Type;

/* ---------------------------------------------------------------- types */

constexpr Type kInt32 = parse::scalar(Kind::Int32, 4);
constexpr Type kUInt8 = parse::scalar(Kind::UInt8, 1);
constexpr Type kUInt32 = parse::scalar(Kind::UInt32, 4);
constexpr Type kUInt64 = parse::scalar(Kind::UInt64, 8);
constexpr Type kNodeID = parse::scalar(Kind::Hex32, 4);
constexpr Type kEnAddr = parse::scalar(Kind::EnAddr, NG_ETHER_ADDRLEN);
constexpr Type kString = parse::var_string(0);
constexpr Type kStatusText = parse::var_string(NG_TEXTRESPONSE);
constexpr Type kTypeName = parse::fixed_string(NG_TYPESIZ);
constexpr Type kHookName = parse::fixed_string(NG_HOOKSIZ);
constexpr Type kNodeName = parse::fixed_string(NG_NODESIZ);
constexpr Type kPath = parse::fixed_string(NG_PATHSIZ);

constexpr Field kMkpeerFields[] = {
	{"type", &kTypeName, offsetof(ngm_mkpeer, type)},
	{"ourhook", &kHookName, offsetof(ngm_mkpeer, ourhook)},
	{"peerhook", &kHookName, offsetof(ngm_mkpeer, peerhook)},
};
constexpr Type kMkpeer = parse::structure(kMkpeerFields, sizeof(ngm_mkpeer));

constexpr Field kConnectFields[] = {
	{"path", &kPath, offsetof(ngm_connect, path)},
	{"ourhook", &kHookName, offsetof(ngm_connect, ourhook)},
	{"peerhook", &kHookName, offsetof(ngm_connect, peerhook)},
};
constexpr Type kConnect = parse::structure(kConnectFields, sizeof(ngm_connect));

constexpr Field kNameFields[] = {
	{"name", &kNodeName, offsetof(ngm_name, name)},
};
constexpr Type kName = parse::structure(kNameFields, sizeof(ngm_name));

constexpr Field kRmhookFields[] = {
	{"hook", &kHookName, offsetof(ngm_rmhook, ourhook)},
};
constexpr Type kRmhook = parse::structure(kRmhookFields, sizeof(ngm_rmhook));

constexpr Field kNodeinfoFields[] = {
	{"name", &kNodeName, offsetof(nodeinfo, name)},
	{"type", &kTypeName, offsetof(nodeinfo, type)},
	{"id", &kNodeID, offsetof(nodeinfo, id)},
	{"hooks", &kUInt32, offsetof(nodeinfo, hooks)},
};
constexpr Type kNodeinfo = parse::structure(kNodeinfoFields, sizeof(nodeinfo));

constexpr Field kLinkinfoFields[] = {
	{"ourhook", &kHookName, offsetof(linkinfo, ourhook)},
	{"peerhook", &kHookName, offsetof(linkinfo, peerhook)},
	{"nodeinfo", &kNodeinfo, offsetof(linkinfo, nodeinfo)},
};
constexpr Type kLinkinfo = parse::structure(kLinkinfoFields, sizeof(linkinfo));

constexpr Type kLinks = parse::var_array(kLinkinfo, "nodeinfo.hooks");
constexpr Field kHooklistFields[] = {
	{"nodeinfo", &kNodeinfo, offsetof(hooklist, nodeinfo)},
	{"linkinfo", &kLinks, sizeof(hooklist)},
};
constexpr Type kHooklist = parse::structure(kHooklistFields, sizeof(hooklist));

constexpr Type kNodes = parse::var_array(kNodeinfo, "numnames");
constexpr Field kNamelistFields[] = {
	{"numnames", &kUInt32, offsetof(namelist, numnames)},
	{"nodeinfo", &kNodes, sizeof(namelist)},
};
constexpr Type kNamelist = parse::structure(kNamelistFields, sizeof(namelist));

constexpr Field kTypeinfoFields[] = {
	{"typename", &kTypeName, offsetof(typeinfo, type_name)},
	{"numnodes", &kUInt32, offsetof(typeinfo, numnodes)},
};
constexpr Type kTypeinfo = parse::structure(kTypeinfoFields, sizeof(typeinfo));

constexpr Type kTypes = parse::var_array(kTypeinfo, "numtypes");
constexpr Field kTypelistFields[] = {
	{"numtypes", &kUInt32, offsetof(typelist, numtypes)},
	{"typeinfo", &kTypes, sizeof(typelist)},
};
constexpr Type kTypelist = parse::structure(kTypelistFields, sizeof(typelist));

constexpr Field kTeeHookstatFields[] = {
	{"inOctets", &kUInt64, offsetof(ng_tee_hookstat, inOctets)},
	{"inFrames", &kUInt64, offsetof(ng_tee_hookstat, inFrames)},
	{"outOctets", &kUInt64, offsetof(ng_tee_hookstat, outOctets)},
	{"outFrames", &kUInt64, offsetof(ng_tee_hookstat, outFrames)},
};
constexpr Type kTeeHookstat = parse::structure(kTeeHookstatFields,
    sizeof(ng_tee_hookstat));

constexpr Field kTeeStatsFields[] = {
	{"right", &kTeeHookstat, offsetof(ng_tee_stats, right)},
	{"left", &kTeeHookstat, offsetof(ng_tee_stats, left)},
	{"right2left", &kTeeHookstat, offsetof(ng_tee_stats, right2left)},
	{"left2right", &kTeeHookstat, offsetof(ng_tee_stats, left2right)},
};
constexpr Type kTeeStats = parse::structure(kTeeStatsFields, sizeof(ng_tee_stats));

constexpr Field kHoleHookstatFields[] = {
	{"frames", &kUInt64, offsetof(ng_hole_hookstat, frames)},
	{"octets", &kUInt64, offsetof(ng_hole_hookstat, octets)},
};
constexpr Type kHoleHookstat = parse::structure(kHoleHookstatFields,
    sizeof(ng_hole_hookstat));

constexpr Field kPcapSnaplenFields[] = {
	{"flags", &kUInt8, offsetof(ngm_pcap_snaplen, flags)},
	{"snaplen", &kUInt32, offsetof(ngm_pcap_snaplen, snaplen)},
};
constexpr Type kPcapSnaplen = parse::structure(kPcapSnaplenFields,
    sizeof(ngm_pcap_snaplen));

constexpr Type kPcapTypeWord = parse::fixed_string(sizeof(ngm_pcap_type::type));
constexpr Field kPcapTypeFields[] = {
	{"hook", &kHookName, offsetof(ngm_pcap_type, hook)},
	{"type", &kPcapTypeWord, offsetof(ngm_pcap_type, type)},
};
constexpr Type kPcapType = parse::structure(kPcapTypeFields, sizeof(ngm_pcap_type));

/* ------------------------------------------------------------- commands */

struct Cmd {
	uint32_t	cookie;
	uint32_t	cmd;		/* the whole command word */
	const char	*name;
	const Type	*arg;		/* null: no argument */
	const Type	*reply;		/* null: no reply argument */
};

/*
 * NGM_BINARY2ASCII and NGM_ASCII2BINARY carry whole messages, which have no
 * ASCII form of their own.
 */
constexpr Cmd kGeneric[] = {
	{NGM_GENERIC_COOKIE, NGM_SHUTDOWN, "shutdown", nullptr, nullptr},
	{NGM_GENERIC_COOKIE, NGM_MKPEER, "mkpeer", &kMkpeer, nullptr},
	{NGM_GENERIC_COOKIE, NGM_CONNECT, "connect", &kConnect, nullptr},
	{NGM_GENERIC_COOKIE, NGM_NAME, "name", &kName, nullptr},
	{NGM_GENERIC_COOKIE, NGM_RMHOOK, "rmhook", &kRmhook, nullptr},
	{NGM_GENERIC_COOKIE, NGM_NODEINFO, "nodeinfo", nullptr, &kNodeinfo},
	{NGM_GENERIC_COOKIE, NGM_LISTHOOKS, "listhooks", nullptr, &kHooklist},
	{NGM_GENERIC_COOKIE, NGM_LISTNAMES, "listnames", nullptr, &kNamelist},
	{NGM_GENERIC_COOKIE, NGM_LISTNODES, "listnodes", nullptr, &kNamelist},
	{NGM_GENERIC_COOKIE, NGM_LISTTYPES, "listtypes", nullptr, &kTypelist},
	{NGM_GENERIC_COOKIE, NGM_TEXT_STATUS, "text_status", nullptr, &kStatusText},
};

constexpr Cmd kSocket[] = {
	{NGM_SOCKET_COOKIE, NGM_SOCK_CMD_NOLINGER, "nolinger", nullptr, nullptr},
	{NGM_SOCKET_COOKIE, NGM_SOCK_CMD_LINGER, "linger", nullptr, nullptr},
};

constexpr Cmd kEther[] = {
	{NGM_ETHER_COOKIE, NGM_ETHER_GET_IFNAME, "getifname", nullptr, &kString},
	{NGM_ETHER_COOKIE, NGM_ETHER_GET_IFINDEX, "getifindex", nullptr, &kInt32},
	{NGM_ETHER_COOKIE, NGM_ETHER_GET_ENADDR, "getenaddr", nullptr, &kEnAddr},
	{NGM_ETHER_COOKIE, NGM_ETHER_SET_ENADDR, "setenaddr", &kEnAddr, nullptr},
	{NGM_ETHER_COOKIE, NGM_ETHER_SET_PROMISC, "setpromisc", &kInt32, nullptr},
	{NGM_ETHER_COOKIE, NGM_ETHER_GET_PROMISC, "getpromisc", nullptr, &kInt32},
	{NGM_ETHER_COOKIE, NGM_ETHER_SET_AUTOSRC, "setautosrc", &kInt32, nullptr},
	{NGM_ETHER_COOKIE, NGM_ETHER_GET_AUTOSRC, "getautosrc", nullptr, &kInt32},
	{NGM_ETHER_COOKIE, NGM_ETHER_ADD_MULTI, "addmulti", &kEnAddr, nullptr},
	{NGM_ETHER_COOKIE, NGM_ETHER_DEL_MULTI, "delmulti", &kEnAddr, nullptr},
	{NGM_ETHER_COOKIE, NGM_ETHER_DETACH, "detach", nullptr, nullptr},
};

constexpr Cmd kIface[] = {
	{NGM_IFACE_COOKIE, NGM_IFACE_GET_IFNAME, "getifname", nullptr, &kString},
	{NGM_IFACE_COOKIE, NGM_IFACE_GET_IFINDEX, "getifindex", nullptr, &kInt32},
	{NGM_IFACE_COOKIE, NGM_IFACE_POINT2POINT, "point2point", nullptr, nullptr},
	{NGM_IFACE_COOKIE, NGM_IFACE_BROADCAST, "broadcast", nullptr, nullptr},
};

constexpr Cmd kHub[] = {
	{NGM_HUB_COOKIE, NGM_HUB_SET_PERSISTENT, "setpersistent", nullptr, nullptr},
};

constexpr Cmd kTee[] = {
	{NGM_TEE_COOKIE, NGM_TEE_GET_STATS, "getstats", nullptr, &kTeeStats},
	{NGM_TEE_COOKIE, NGM_TEE_CLR_STATS, "clrstats", nullptr, nullptr},
	{NGM_TEE_COOKIE, NGM_TEE_GETCLR_STATS, "getclrstats", nullptr, &kTeeStats},
};

constexpr Cmd kHole[] = {
	{NGM_HOLE_COOKIE, NGM_HOLE_GET_STATS, "getstats", &kString, &kHoleHookstat},
	{NGM_HOLE_COOKIE, NGM_HOLE_CLR_STATS, "clrstats", &kString, nullptr},
	{NGM_HOLE_COOKIE, NGM_HOLE_GETCLR_STATS, "getclrstats", &kString, &kHoleHookstat},
};

constexpr Cmd kPcap[] = {
	{NGM_PCAP_COOKIE, NGM_PCAP_SET_SNAPLEN, "setsnaplen", &kPcapSnaplen, nullptr},
	{NGM_PCAP_COOKIE, NGM_PCAP_SET_TYPE, "settype", &kPcapType, nullptr},
};

constexpr Cmd kWormhole[] = {
	{NGM_WORMHOLE_COOKIE, NGM_WORMHOLE_OPEN, "open", &kString, nullptr},
};

struct CmdList {
	const char	*type;		/* null: every type's */
	const Cmd	*cmds;
	size_t		n;
};

template <size_t N>
constexpr CmdList
cmds_of(const char *type, const Cmd (&cmds)[N])
{
	return CmdList{type, cmds, N};
}

/* echo has no messages of its own: it reflects what it does not know. */
constexpr CmdList kTables[] = {
	cmds_of(nullptr, kGeneric),
	cmds_of("socket", kSocket),
	cmds_of("ether", kEther),
	cmds_of("iface", kIface),
	cmds_of("hub", kHub),
	cmds_of("tee", kTee),
	cmds_of("hole", kHole),
	cmds_of("pcap", kPcap),
	cmds_of("wormhole", kWormhole),
};

template <typename Match>
const Cmd *
find_cmd(const std::string &type, Match match)
{
	for (const CmdList &l : kTables) {
		if (l.type != nullptr && type != l.type)
			continue;
		for (size_t i = 0; i < l.n; i++)
			if (match(l.cmds[i]))
				return &l.cmds[i];
	}
	return nullptr;
}

/* The header of `in`, checked against its length. */
bool
read_header(const uint8_t *in, size_t len, ng_mesg::ng_msghdr &hdr)
{
	if (in == nullptr || len < sizeof hdr)
		return false;
	memcpy(&hdr, in, sizeof hdr);
	return hdr.arglen <= len - sizeof hdr;
}

void
put_message(ng_mesg::ng_msghdr &hdr, const void *arg, size_t arglen,
    std::vector<uint8_t> &out)
{
	hdr.arglen = uint32_t(arglen);
	out.assign(sizeof hdr + arglen, 0);
	memcpy(out.data(), &hdr, sizeof hdr);
	if (arglen > 0)
		memcpy(out.data() + sizeof hdr, arg, arglen);
}

} // namespace

int
binary_to_ascii(const std::string &type, const uint8_t *in, size_t len,
    std::vector<uint8_t> &out)
{
	ng_mesg::ng_msghdr hdr;
	if (!read_header(in, len, hdr))
		return EINVAL;
	const Cmd *c = find_cmd(type, [&](const Cmd &x) {
		return x.cookie == hdr.typecookie && x.cmd == hdr.cmd;
	});
	if (c == nullptr)
		return ENOSYS;
	const Type *t = (hdr.flags & NGF_RESP) != 0 ? c->reply : c->arg;
	/* No argument bytes read as no arguments, whatever the format. */
	std::string text;
	if (t == nullptr) {
		if (hdr.arglen != 0)
			return EINVAL;
	} else if (hdr.arglen != 0) {
		parse::Value v;
		int e = parse::decode(*t, in + sizeof hdr, hdr.arglen, v);
		if (e != 0)
			return e;
		parse::unparse(*t, v, text);
		if (text.size() >= parse::kMaxText)
			return EINVAL;
	}
	memset(hdr.cmdstr, 0, sizeof hdr.cmdstr);
	memcpy(hdr.cmdstr, c->name, strnlen(c->name,
	    sizeof hdr.cmdstr - 1));
	put_message(hdr, text.c_str(), text.size() + 1, out);
	return 0;
}

int
ascii_to_binary(const std::string &type, const uint8_t *in, size_t len,
    std::vector<uint8_t> &out)
{
	ng_mesg::ng_msghdr hdr;
	if (!read_header(in, len, hdr))
		return EINVAL;
	const char *cmdstr = reinterpret_cast<const char *>(hdr.cmdstr);
	if (memchr(cmdstr, '\0', sizeof hdr.cmdstr) == nullptr)
		return EINVAL;
	const Cmd *c = find_cmd(type, [&](const Cmd &x) {
		return strcmp(x.name, cmdstr) == 0;
	});
	if (c == nullptr)
		return ENOSYS;

	/* The text ends at its NUL, or with the arguments. */
	const char *a = reinterpret_cast<const char *>(in + sizeof hdr);
	const void *z = memchr(a, '\0', hdr.arglen);
	std::string text(a, z != nullptr ? static_cast<const char *>(z) - a :
	    hdr.arglen);
	const Type *t = (hdr.flags & NGF_RESP) != 0 ? c->reply : c->arg;
	std::vector<uint8_t> bin;
	if (text.find_first_not_of(" \t\n\r\f\v") != std::string::npos) {
		parse::Value v;
		if (t == nullptr || parse::parse(*t, text, v) != 0 ||
		    parse::encode(*t, v, bin) != 0)
			return EINVAL;
	}
	hdr.version = NG_VERSION;
	hdr.typecookie = c->cookie;
	hdr.cmd = c->cmd;
	put_message(hdr, bin.data(), bin.size(), out);
	return 0;
}

const char *
ascii_cmdname(const std::string &type, uint32_t cookie, uint32_t cmd)
{
	const Cmd *c = find_cmd(type, [&](const Cmd &x) {
		return x.cookie == cookie && x.cmd == cmd;
	});
	return c != nullptr ? c->name : nullptr;
}

} // namespace ngsim
