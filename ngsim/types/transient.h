/* Node types that go away with their last hook, unless made persistent. */
#ifndef NGSIM_TYPES_TRANSIENT_H
#define NGSIM_TYPES_TRANSIENT_H

#include "../node.h"

namespace ngsim {

class Transient : public NodeOps {
public:
	explicit Transient(KernelApi &k) : k_(k) {}
	void disconnect(Node &self, Hook &) override
	{
		if (self.hooks.empty() && !self.persistent)
			k_.shutdown(self);
	}

protected:
	KernelApi &k_;
};

} // namespace ngsim

#endif /* NGSIM_TYPES_TRANSIENT_H */
