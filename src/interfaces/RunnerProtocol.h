#pragma once

namespace ulvarend {

class RunnerProtocol {
public:
    virtual ~RunnerProtocol() = default;
    virtual void run() = 0;
    virtual void handleTermination() = 0;
};

} // namespace ulvarend
