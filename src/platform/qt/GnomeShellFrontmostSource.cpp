#include "platform/FrontmostApplicationSource.h"

namespace ulvarend::platform {
namespace {

class GnomeShellFrontmostSource final : public DesktopHelperSource {
public:
    std::optional<FrontmostApplication> frontmostApplication() override { return std::nullopt; }
    bool working(std::string* whyNot) override {
        *whyNot = "GNOME Shell is not supported yet";
        return false;
    }
};

} // namespace

std::shared_ptr<DesktopHelperSource> makeGnomeShellFrontmostSource(ErrorReporter) {
    return std::make_shared<GnomeShellFrontmostSource>();
}

} // namespace ulvarend::platform
