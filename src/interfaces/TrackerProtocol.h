#pragma once

namespace ulvarend {

class TrackerProtocol {
public:
    virtual ~TrackerProtocol() = default;
    virtual void start() = 0;
};

} // namespace ulvarend
