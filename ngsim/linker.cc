/*
 * The kernel linker: kernel files and their modules, loading by name, and
 * the walks that kldnext(2), kldfirstmod(2), modfnext(2) and modstat(2) make.
 */
#include "kernel.h"

#include <algorithm>
#include <cerrno>

namespace ngsim {

namespace {

bool file_matches(const std::string &have, const std::string &want)
{
	std::string w = want;
	size_t slash = w.rfind('/');
	if (slash != std::string::npos)
		w = w.substr(slash + 1);
	if (have == w || have == w + ".ko")
		return true;
	if (w.size() > 3 && w.compare(w.size() - 3, 3, ".ko") == 0 &&
	    have == w.substr(0, w.size() - 3))
		return true;
	return false;
}

} // namespace

/* File 1 holds the built-in modules; the others wait to be loaded. */
void Kernel::boot_linker()
{
	files_.push_back({"kernel", 0, {"netgraph", "ng_ether", "ng_iface",
	    "ng_hub", "ng_tee", "ng_echo", "ng_hole"}, {}});
	int id;
	kldload(Caller(), "kernel", id);
	files_.push_back({"ng_socket.ko", 0, {"ng_socket"}, {}});
	files_.push_back({"ng_pcap.ko", 0, {"ng_pcap"}, {}});
	files_.push_back({"ng_wormhole.ko", 0, {"ng_wormhole"}, {}});
}

int Kernel::kldload(const Caller &c, const std::string &file, int &fileid)
{
	if (c.uid != 0 || c.jail != 0)
		return EPERM;
	int e = fault(FaultOp::kldload, 0, 0, &file);
	if (e != 0)
		return e;
	if (file.empty())
		return EINVAL;
	for (KldFile &f : files_) {
		if (!file_matches(f.file, file))
			continue;
		if (f.id != 0)
			return EEXIST;
		f.id = next_fileid_++;
		f.modids.clear();
		for (size_t i = 0; i < f.modules.size(); i++)
			f.modids.push_back(next_modid_++);
		fileid = f.id;
		return 0;
	}
	return ENOENT;
}

int Kernel::kld_add(const std::string &file,
    const std::vector<std::string> &modules, bool loaded)
{
	if (file.empty())
		return EINVAL;
	for (const KldFile &f : files_)
		if (f.file == file)
			return EEXIST;
	files_.push_back({file, 0, modules, {}});
	if (!loaded)
		return 0;
	/* Placed by the administrator: no fault rule stands in the way. */
	std::vector<FaultRule> rules;
	rules.swap(faults);
	int id;
	int e = kldload(Caller(), file, id);
	rules.swap(faults);
	return e;
}

int Kernel::kldnext(int fileid, int &next)
{
	std::vector<int> ids;
	for (const KldFile &f : files_)
		if (f.id != 0)
			ids.push_back(f.id);
	std::sort(ids.begin(), ids.end());
	if (fileid == 0) {
		next = ids.empty() ? 0 : ids.front();
		return 0;
	}
	auto it = std::find(ids.begin(), ids.end(), fileid);
	if (it == ids.end())
		return ENOENT;
	++it;
	next = it == ids.end() ? 0 : *it;
	return 0;
}

int Kernel::kldfirstmod(int fileid, int &modid)
{
	for (const KldFile &f : files_)
		if (f.id != 0 && f.id == fileid) {
			modid = f.modids.empty() ? 0 : f.modids.front();
			return 0;
		}
	return ENOENT;
}

int Kernel::modfnext(int modid, int &next)
{
	for (const KldFile &f : files_) {
		if (f.id == 0)
			continue;
		for (size_t i = 0; i < f.modids.size(); i++)
			if (f.modids[i] == modid) {
				next = i + 1 < f.modids.size() ? f.modids[i + 1] : 0;
				return 0;
			}
	}
	return ENOENT;
}

int Kernel::modstat(int modid, std::string &name, int &refs)
{
	for (const KldFile &f : files_) {
		if (f.id == 0)
			continue;
		for (size_t i = 0; i < f.modids.size(); i++)
			if (f.modids[i] == modid) {
				name = f.modules[i];
				refs = 1;
				return 0;
			}
	}
	return ENOENT;
}

int Kernel::kldfind(const std::string &file, int &fileid)
{
	for (const KldFile &f : files_)
		if (f.id != 0 && file_matches(f.file, file)) {
			fileid = f.id;
			return 0;
		}
	return ENOENT;
}

int Kernel::modfind(const std::string &mod, int &modid)
{
	for (const KldFile &f : files_) {
		if (f.id == 0)
			continue;
		for (size_t i = 0; i < f.modules.size(); i++)
			if (f.modules[i] == mod) {
				modid = f.modids[i];
				return 0;
			}
	}
	return ENOENT;
}

} // namespace ngsim
