/*
 * Names as netgraph checks them, node IDs in paths, and errno names.
 */
#include "kernel.h"
#include "proto.h"

#include <sys/types.h>

#include "../compat/include/netgraph/ng_message.h"

#include <cerrno>
#include <cstring>

namespace ngsim {

bool field_string(const char *p, size_t width, std::string &out)
{
	const void *z = memchr(p, '\0', width);
	if (z == nullptr)
		return false;
	out.assign(p, static_cast<const char *>(z) - p);
	return true;
}

bool valid_node_name(const std::string &s)
{
	if (s.empty() || s.size() >= NG_NODESIZ)
		return false;
	for (char c : s)
		if (c == '.' || c == ':' || c == '[' || c == ']' || c == '\0')
			return false;
	return true;
}

bool valid_hook_name(const std::string &s)
{
	if (s.empty() || s.size() >= NG_HOOKSIZ)
		return false;
	for (char c : s)
		if (c == '.' || c == ':' || c == '\0')
			return false;
	return true;
}

ng_id decode_id(const std::string &s)
{
	if (s.size() < 3 || s.size() > 10 || s.front() != '[' || s.back() != ']')
		return 0;
	uint32_t v = 0;
	for (size_t i = 1; i + 1 < s.size(); i++) {
		char c = s[i];
		int d;
		if (c >= '0' && c <= '9')
			d = c - '0';
		else if (c >= 'a' && c <= 'f')
			d = c - 'a' + 10;
		else if (c >= 'A' && c <= 'F')
			d = c - 'A' + 10;
		else
			return 0;
		v = v * 16 + d;
	}
	return v;
}

namespace {

struct ErrName { int e; const char *name; };
const ErrName kErrNames[] = {
	{EPERM, "EPERM"}, {ENOENT, "ENOENT"}, {ESRCH, "ESRCH"},
	{EINTR, "EINTR"}, {EIO, "EIO"}, {ENXIO, "ENXIO"}, {E2BIG, "E2BIG"},
	{EBADF, "EBADF"}, {ECHILD, "ECHILD"}, {EAGAIN, "EAGAIN"},
	{ENOMEM, "ENOMEM"}, {EACCES, "EACCES"}, {EFAULT, "EFAULT"},
	{EBUSY, "EBUSY"}, {EEXIST, "EEXIST"}, {ENODEV, "ENODEV"},
	{ENOTDIR, "ENOTDIR"}, {EISDIR, "EISDIR"}, {EINVAL, "EINVAL"},
	{ENFILE, "ENFILE"}, {EMFILE, "EMFILE"}, {ENOSPC, "ENOSPC"},
	{EPIPE, "EPIPE"}, {EDOM, "EDOM"}, {ERANGE, "ERANGE"},
	{ENOSYS, "ENOSYS"}, {ELOOP, "ELOOP"}, {ENAMETOOLONG, "ENAMETOOLONG"},
	{EMSGSIZE, "EMSGSIZE"}, {EPROTONOSUPPORT, "EPROTONOSUPPORT"},
	{EOPNOTSUPP, "EOPNOTSUPP"}, {EADDRINUSE, "EADDRINUSE"},
	{EADDRNOTAVAIL, "EADDRNOTAVAIL"}, {ENETDOWN, "ENETDOWN"},
	{ENOBUFS, "ENOBUFS"}, {EISCONN, "EISCONN"}, {ENOTCONN, "ENOTCONN"},
	{ETIMEDOUT, "ETIMEDOUT"}, {ECONNREFUSED, "ECONNREFUSED"},
	{EHOSTUNREACH, "EHOSTUNREACH"}, {EALREADY, "EALREADY"},
	{EINPROGRESS, "EINPROGRESS"}, {ENOTSOCK, "ENOTSOCK"},
	{EDESTADDRREQ, "EDESTADDRREQ"}, {EPROTOTYPE, "EPROTOTYPE"},
	{ECANCELED, "ECANCELED"}, {EDEADLK, "EDEADLK"}, {ENOTEMPTY, "ENOTEMPTY"},
	{EROFS, "EROFS"}, {ESPIPE, "ESPIPE"}, {ENOEXEC, "ENOEXEC"},
	{NGSIM_EDOOFUS, "EDOOFUS"},
};

} // namespace

const char *errno_name(int e)
{
	for (const ErrName &n : kErrNames)
		if (n.e == e)
			return n.name;
	return nullptr;
}

int errno_by_name(const std::string &name)
{
	for (const ErrName &n : kErrNames)
		if (name == n.name)
			return n.e;
	return 0;
}

} // namespace ngsim
