#include "riftlink_e2e.h"

const std::string kUsage =
    "USAGE: riftlink [-n] [-j jail] spec1 [spec2]\n"
    "-n\tDisable automatic loading of netgraph(4) kernel modules.\n"
    "-j jail\tSwitch to jail for all references.\n"
    "\n"
    "You provide 2 wormhole specifications (components of which are\n"
    "separated by colons). The wormhole spec componentes are:\n"
    "\t[jail][:name][:node:hook]\n"
    "For each spec the components are:\n"
    "jail\t\tjail reference for remaining components. If not preset it\n"
    "\t\tdefaults to where `riftlink' is run (see `-j' above).\n"
    "name\t\tset the netgraph name of the wormhole to [name] in [jail].\n"
    "node:hook\tconnect the wormhole in [jail] to this [node:hook] pair.\n"
    "\n"
    "Without a jail componet the spec assumes the jail where `riftlink' was\n"
    "run or the jail from `-j'. But the jails from spec1 and spec2 MUST be\n"
    "different. Without a name the wormhole can only be accessed by ID.\n"
    "Without a [node:hook] netgraph path the wormhole is left unconnected\n"
    "but is held open by the other side. It can be connected to later with\n"
    "ngctl(8).\n";

e2e::Proc riftlink(const std::vector<std::string>& args, const e2e::RunOpts& opts) {
  std::vector<std::string> argv{e2e::bin_path("riftlink")};
  argv.insert(argv.end(), args.begin(), args.end());
  return e2e::run(argv, opts);
}
