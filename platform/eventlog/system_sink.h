// The platform's own event sink (syslog on Linux, the event log on Windows),
// defined by each platform's implementation; not part of the interface.
#ifndef QV_PLATFORM_EVENTLOG_SYSTEM_SINK_H
#define QV_PLATFORM_EVENTLOG_SYSTEM_SINK_H

#include "platform/eventlog/eventlog.h"

namespace qv::eventlog {

// The sink entries go to when no test sink is installed; lives for the process.
Sink& SystemSink();

}  // namespace qv::eventlog

#endif
