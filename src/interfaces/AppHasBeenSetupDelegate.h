#pragma once

namespace ulvarend {

class AppHasBeenSetupDelegate {
public:
    virtual ~AppHasBeenSetupDelegate() = default;
    virtual void appHasBeenSetupChanged(bool appHasBeenSetup) = 0;
};

} // namespace ulvarend
