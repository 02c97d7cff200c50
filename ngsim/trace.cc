/*
 * The trace of control messages, bounded to the latest kTraceMax, and the
 * fault rules that make chosen operations fail.
 */
#include "kernel.h"

namespace ngsim {

void Kernel::record(TraceEntry &&e)
{
	if (trace_.size() >= kTraceMax) {
		trace_.pop_front();
		trace_dropped_++;
	}
	trace_.push_back(std::move(e));
}

void Kernel::clear_trace()
{
	trace_.clear();
	trace_dropped_ = 0;
}

int Kernel::fault(FaultOp op, uint32_t cookie, uint32_t cmd,
    const std::string *path)
{
	int e = 0;
	for (FaultRule &r : faults) {
		if (r.op != op)
			continue;
		if (r.cookie && *r.cookie != cookie)
			continue;
		if (r.cmd && *r.cmd != cmd)
			continue;
		if (r.path && (path == nullptr || *r.path != *path))
			continue;
		r.seen++;
		if (e == 0 && (r.nth == 0 || r.seen == r.nth))
			e = r.error;
	}
	return e;
}

int Kernel::recv_fault(uint32_t cookie, uint32_t cmd)
{
	return fault(FaultOp::recv, cookie, cmd & ~0x30000000u);
}

} // namespace ngsim
