#include "live.h"

#include "duplex.h"
#include "run.h"

#include <sysexits.h>

int record_live(const measure_settings &o, const sweep &s, std::vector<double> &record,
                std::vector<double> &loopback)
{
	duplex_request request;
	request.device = o.device;
	request.play = o.play;
	request.record = o.record;
	request.loopback = o.loopback;
	request.repeat = o.repeat;
	std::string why;
	switch (play_and_record(request, s, record, loopback, why)) {
	case duplex_result::ok: return 0;
	case duplex_result::unavailable: return fail(EX_UNAVAILABLE, "%s\n", why.c_str());
	case duplex_result::failed:
	case duplex_result::stopped: break;
	}
	return fail(EX_SOFTWARE, "%s\n", why.c_str());
}
