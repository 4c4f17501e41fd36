#pragma once

namespace ulvarend {

// Main thread only.
class RunnerProtocol {
public:
    virtual ~RunnerProtocol() = default;
    virtual void run() = 0;
    virtual void handleTermination() = 0;
    // Ends the study as a launch would when its period has passed: the sessions open until now
    // are closed, the period-ended alert shown, autostart switched off, and the process ends
    // with 0. Nothing when the agent is not set up or the period goes on. For the moments a
    // running agent may have missed the end: a wake, a resume, an unlock, and every hour.
    virtual void checkTrackingPeriod() = 0;
    // Closes the application session and the member's session open now, under the identity
    // they were recorded with, before a link changes who is recorded; the `run()` after the
    // link begins the new member's session.
    virtual void closeSessions() = 0;
};

} // namespace ulvarend
