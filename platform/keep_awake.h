#pragma once
// Keeping the machine awake while a job runs. Each call asks that the system not go to sleep
// for roughly the next two minutes; a running job calls it for every file and every 100 s, so
// the machine may sleep again soon after the job ends. Where the desktop offers no sleep
// inhibitor (no systemd-logind), the call does nothing.
// Thread: any.

namespace vt::platform {

void keep_system_awake() noexcept;

} // namespace vt::platform
